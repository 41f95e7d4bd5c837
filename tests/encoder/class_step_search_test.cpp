// Size targets searched on the trellis of level classes: files every reader decodes to the
// search's own reconstruction, sizes near the target, bytes that do not depend on the threads,
// and never less of the sound than the nearest choice keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "library/compressor.h"
#include "qxw/qxw.h"
#include "support/pipeline.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// The file at a size target, searched at effort.
TargetFile compressSearched(const std::vector<int16_t>& samples, uint32_t channels, double bits,
                            int effort, int threads = 1) {
  TargetFile searched = compressToTarget(samples, channels, bits, threads, effort);
  EXPECT_EQ(searched.status, Status::Ok);
  return searched;
}

long double noiseBetween(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  long double noise = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const long double d = a[i] - b[i];
    noise += d * d;
  }
  return noise;
}

TEST(SearchedTarget, EveryReaderDecodesTheSearchsReconstruction) {
  const Signal kinds[] = {Signal::Music,          Signal::ClippedMusic, Signal::Silence,
                          Signal::FullScaleNoise, Signal::LoudSquare,   Signal::Extremes,
                          Signal::NoisyExtremes,  Signal::Single,       Signal::Empty};
  int effort = 0;  // each effort in turn, 1 to 3
  for (Signal kind : kinds) {
    for (uint32_t channels : {1u, 2u, 6u}) {
      const auto input = makeSignal(kind, 6000, channels, channels);
      for (double bits : {2.0, 3.5, 8.0}) {
        effort = effort % QXW_EFFORT_MAX + 1;
        const TargetFile searched = compressSearched(input, channels, bits, effort);
        const Decoded decoded = decompress(searched.file);
        char where[96];
        std::snprintf(where, sizeof where, "%s, %u channels, %.1f bits, effort %d",
                      signalName(kind), channels, bits, effort);
        ASSERT_EQ(decoded.data, Status::Ok) << where;
        ASSERT_EQ(decoded.samples, searched.reconstruction) << where;
        EXPECT_EQ(searched.report.bytes, searched.file.size()) << where;
        EXPECT_EQ(searched.report.noise, noiseBetween(input, decoded.samples)) << where;
      }
    }
  }
}

// The music is long enough that the trials sample the sound rather than search all of it.
TEST(SearchedTarget, LandsWithinThreePercentAndKeepsMoreThanTheNearestChoice) {
  for (Signal kind : {Signal::Music, Signal::ClippedMusic, Signal::FullScaleNoise}) {
    const auto input = makeSignal(kind, kind == Signal::Music ? 1200000 : 200000, 2);
    for (double bits : {3.0, 4.0, 5.0}) {
      const TargetFile nearest = compressSearched(input, 2, bits, 0, 0);
      for (int effort : {1, 2}) {
        if (kind == Signal::Music && effort > 1) continue;
        const TargetFile searched = compressSearched(input, 2, bits, effort, 0);
        EXPECT_NEAR(searched.report.bitsPerSample, bits, 0.03 * bits)
            << signalName(kind) << " " << bits << " effort " << effort;
        EXPECT_LE(searched.report.noise, nearest.report.noise)
            << signalName(kind) << " " << bits << " effort " << effort;
      }
    }
  }
}

// On music the search is worth its time: a clear gain at the same size. (Where the step falls
// to a sample or two, as on this synthetic music at 4 bits, rounding spoils the classes' lattice
// and the nearest choice is kept.)
TEST(SearchedTarget, GainsOnMusicAtTheSameSize) {
  const auto input = makeSignal(Signal::Music, 400000, 2);
  for (double bits : {2.5, 3.0}) {
    const TargetFile nearest = compressSearched(input, 2, bits, 0, 0);
    const TargetFile searched = compressSearched(input, 2, bits, 1, 0);
    const double gain = 10 * std::log10(static_cast<double>(nearest.report.noise) /
                                        static_cast<double>(searched.report.noise));
    // About 6 dB a bit a sample: the gain counted at equal size.
    const double sizeShare = 6.02 * (searched.report.bitsPerSample - nearest.report.bitsPerSample);
    EXPECT_GT(gain - sizeShare, 0.25) << bits;
  }
}

// Trials are cut in fixed blocks and each channel is searched whole on one thread: any thread
// count gives the same bytes, through the C calls too.
TEST(SearchedTarget, TheBytesDoNotDependOnTheThreadCount) {
  for (uint32_t channels : {1u, 2u, 3u}) {
    const auto input = makeSignal(Signal::Music, 300000 / channels, channels);
    const TargetFile one = compressSearched(input, channels, 3.5, 2, 1);
    for (int threads : {2, 3, 0}) {
      EXPECT_EQ(compressSearched(input, channels, 3.5, 2, threads).file, one.file) << threads;
    }
    const qxw_format format{static_cast<uint32_t>(input.size() / channels), channels, 44100};
    void* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(qxw_encode_search(input.data(), &format, 3.5, 2, 0, &data, &size), QXW_OK);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size),
              one.file);
    qxw_free(data);
  }
}

TEST(SearchedTarget, TheCCallsTakeOnlyEffortsOfATarget) {
  const auto input = makeSignal(Signal::Music, 20000, 2);
  const qxw_format format{20000, 2, 44100};
  void* data = nullptr;
  size_t size = 0;
  for (int effort : {-1, QXW_EFFORT_MAX + 1}) {
    EXPECT_EQ(qxw_encode_search(input.data(), &format, 4, effort, 1, &data, &size),
              QXW_INVALID_ARGUMENT);
  }
  EXPECT_EQ(qxw_encode_search(input.data(), &format, 0, 1, 1, &data, &size), QXW_INVALID_ARGUMENT);
  // Effort 0 is the nearest choice, byte for byte.
  ASSERT_EQ(qxw_encode_search(input.data(), &format, 4, 0, 1, &data, &size), QXW_OK);
  const std::vector<uint8_t> zero(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  qxw_free(data);
  ASSERT_EQ(qxw_encode_bits(input.data(), &format, 4, 1, &data, &size), QXW_OK);
  EXPECT_EQ(zero,
            std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size));
  qxw_free(data);
  // A level has no search.
  const qxw_encode_options level{3, 0, 1, 0};
  qxw_encoder_callbacks callbacks{};
  callbacks.write = [](void*, const void*, size_t) { return 0; };
  EXPECT_EQ(qxw_encode_stream_search(input.data(), &format, &level, 1, &callbacks, nullptr),
            QXW_INVALID_ARGUMENT);
  const qxw_encode_options target{3, 4, 1, 0};
  EXPECT_EQ(qxw_encode_stream_search(input.data(), &format, &target, 1, &callbacks, nullptr),
            QXW_OK);
}

}  // namespace
}  // namespace qxw
