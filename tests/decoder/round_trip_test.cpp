#include <gtest/gtest.h>

#include <cstdlib>

#include "support/pipeline.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const Signal kSignals[] = {Signal::Music,  Signal::Silence,  Signal::FullScaleNoise,
                           Signal::Square, Signal::Extremes, Signal::NoisyExtremes,
                           Signal::Single, Signal::Empty};

TEST(RoundTrip, Quality9GivesBackEverySample) {
  for (Signal kind : kSignals) {
    for (uint32_t channels = 1; channels <= 6; ++channels) {
      const auto input = makeSignal(kind, 3000, channels);
      const auto file = compressSamples(input, channels, 9);
      const Decoded decoded = decompress(file);
      ASSERT_EQ(decoded.header, Status::Ok) << signalName(kind) << channels;
      ASSERT_EQ(decoded.data, Status::Ok) << signalName(kind) << channels;
      EXPECT_EQ(decoded.samples, input) << signalName(kind) << " channels " << channels;
      // The decoded sound compresses to the very same file.
      EXPECT_EQ(compressSamples(decoded.samples, channels, 9), file) << signalName(kind);
    }
  }
}

TEST(RoundTrip, LowerQualitiesDecodeToTheEncodersOwnReconstruction) {
  for (Signal kind : kSignals) {
    for (uint32_t channels : {1u, 2u, 5u}) {
      const auto input = makeSignal(kind, 4000, channels, channels);
      for (uint32_t quality = 0; quality <= 8; ++quality) {
        auto model = std::make_unique<EncoderModel>();
        std::vector<int16_t> expected;
        const auto file = compressSamples(*model, input, channels, quality, 8000, &expected);
        const Decoded decoded = decompress(file);
        ASSERT_EQ(decoded.data, Status::Ok) << signalName(kind) << quality;
        EXPECT_EQ(decoded.samples, expected) << signalName(kind) << " quality " << quality;
      }
    }
  }
}

TEST(RoundTrip, KeepsTheErrorOfMusicBounded) {
  const auto input = makeSignal(Signal::Music, 20000, 2);
  const int bounds[] = {2048, 2048, 2048, 2048, 1024, 512, 256, 256, 128};
  for (uint32_t quality = 0; quality <= 8; ++quality) {
    const Decoded decoded = decompress(compressSamples(input, 2, quality));
    ASSERT_EQ(decoded.samples.size(), input.size());
    int largest = 0;
    for (size_t i = 0; i < input.size(); ++i) {
      largest = std::max(largest, std::abs(decoded.samples[i] - input[i]));
    }
    EXPECT_LE(largest, bounds[quality]) << "quality " << quality;
  }
}

// Loud material: the reconstruction is held inside the 16-bit range instead of wrapping, so the
// decoded sound follows the input with no full-scale clicks or offsets of 65536.
TEST(RoundTrip, LoudSignalsNeverWrapAtLowerQualities) {
  for (Signal kind : {Signal::ClippedSine, Signal::ClippedMusic, Signal::FullScaleNoise}) {
    for (uint32_t channels = 1; channels <= 6; ++channels) {
      const auto input = makeSignal(kind, 6000, channels, channels);
      for (uint32_t quality = 0; quality <= 8; ++quality) {
        auto model = std::make_unique<EncoderModel>();
        std::vector<int16_t> expected;
        const auto file = compressSamples(*model, input, channels, quality, 44100, &expected);
        const Decoded decoded = decompress(file);
        ASSERT_EQ(decoded.data, Status::Ok) << signalName(kind) << quality;
        ASSERT_EQ(decoded.samples, expected) << signalName(kind) << " quality " << quality;
        // A sound that starts at a rail needs a few frames for its first, rare difference.
        int largest = 0;
        for (size_t i = 64 * channels; i < input.size(); ++i) {
          largest = std::max(largest, std::abs(decoded.samples[i] - input[i]));
        }
        EXPECT_LT(largest, 16384) << signalName(kind) << " channels " << channels << " quality "
                                  << quality;
      }
    }
  }
}

// Squares whose jumps leave no level of a coarse table inside the 16-bit range: the file is
// written at a quality that follows them, never as near-silence.
TEST(RoundTrip, LoudSquaresAreFollowedAtEveryQuality) {
  // Seeds 31 and 40 lose the signal at quality 0 with the table of their own quality.
  for (uint32_t seed : {0u, 4u, 9u, 15u, 22u, 31u, 40u, 44u}) {
    const uint32_t channels = 1 + seed % 3;
    const auto input = makeSignal(Signal::LoudSquare, 8000, channels, seed);
    for (uint32_t quality = 0; quality <= 5; ++quality) {
      auto model = std::make_unique<EncoderModel>();
      std::vector<int16_t> expected;
      const auto file = compressSamples(*model, input, channels, quality, 44100, &expected);
      const Decoded decoded = decompress(file);
      ASSERT_EQ(decoded.samples, expected) << "seed " << seed << " quality " << quality;
      double signal = 0, noise = 0;
      for (size_t i = 0; i < input.size(); ++i) {
        const double x = input[i], d = x - decoded.samples[i];
        signal += x * x;
        noise += d * d;
      }
      EXPECT_GT(signal, 10 * noise) << "seed " << seed << " quality " << quality;
    }
  }
}

}  // namespace
}  // namespace qxw
