// The size-target mode end to end: what a reader decodes, how near the target the file lands,
// and bytes that do not depend on the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "encoder/target_encoder.h"
#include "format/reconstruction_digest.h"
#include "library/compressor.h"
#include "qxw/qxw.h"
#include "support/model_helpers.h"
#include "support/pipeline.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

TEST(TargetEncoder, EveryReaderDecodesTheEncodersReconstruction) {
  const Signal kinds[] = {Signal::Music,          Signal::ClippedMusic, Signal::Silence,
                          Signal::FullScaleNoise, Signal::LoudSquare,   Signal::Extremes,
                          Signal::Single,         Signal::Empty};
  for (Signal kind : kinds) {
    for (uint32_t channels : {1u, 2u, 6u}) {
      const auto input = makeSignal(kind, 5000, channels, channels);
      for (double bits : {2.0, 3.5, 8.0}) {
        const TargetFile target = compressToTarget(input, channels, bits);
        const Decoded decoded = decompress(target.file);
        ASSERT_EQ(decoded.data, Status::Ok) << signalName(kind) << " " << bits;
        ASSERT_EQ(decoded.samples, target.reconstruction) << signalName(kind) << " " << bits;
        EXPECT_EQ(target.report.bytes, target.file.size());
        // Summed exactly here, in integers, from the decoded file.
        uint64_t noise = 0;
        for (size_t i = 0; i < input.size(); ++i) {
          const int64_t d = int64_t{input[i]} - decoded.samples[i];
          noise += static_cast<uint64_t>(d * d);
        }
        EXPECT_EQ(target.report.noise, static_cast<long double>(noise))
            << signalName(kind) << " " << bits;
      }
    }
  }
}

// Long enough that the header hardly counts; music, loud music and noise, across the range.
// (Full-scale noise at 2.5 bits needs steps so coarse that one level more or less changes the
// size by 7%.)
TEST(TargetEncoder, LandsWithinThreePercentOfTheTarget) {
  for (Signal kind : {Signal::Music, Signal::ClippedMusic, Signal::FullScaleNoise}) {
    const auto input = makeSignal(kind, 150000, 2);
    for (double bits : {2.5, 3.0, 4.0, 5.0, 6.0}) {
      if (kind == Signal::FullScaleNoise && bits < 3) continue;
      const TargetFile target = compressToTarget(input, 2, bits);
      EXPECT_NEAR(target.report.bitsPerSample, bits, 0.03 * bits) << signalName(kind);
      EXPECT_DOUBLE_EQ(target.report.bitsPerSample, 8.0 * target.file.size() / input.size());
    }
  }
}

// The search counts in fixed blocks and the written walk's pieces are walked again wherever their
// guessed first state missed: any thread count, the same bytes, also where runs, rails and
// noise cross the pieces' seams; the C call gives them too.
TEST(TargetEncoder, TheBytesDoNotDependOnTheThreadCount) {
  for (Signal kind : {Signal::Silence, Signal::FullScaleNoise, Signal::LoudSquare,
                      Signal::NoisyExtremes, Signal::ClippedMusic}) {
    for (uint32_t channels : {1u, 2u, 3u, 6u}) {
      const auto samples = makeSignal(kind, 600000 / channels, channels, channels);
      const std::vector<uint8_t> alone = compressToTarget(samples, channels, 3.0, 1).file;
      EXPECT_EQ(compressToTarget(samples, channels, 3.0, 3).file, alone)
          << signalName(kind) << " " << channels;
    }
  }
  const auto input = makeSignal(Signal::Music, 300000, 2);
  const TargetFile one = compressToTarget(input, 2, 3.5, 1);
  const qxw_format format{150000 * 2, 1, 44100};
  for (int threads : {2, 3, 0}) {
    EXPECT_EQ(compressToTarget(input, 2, 3.5, threads).file, one.file) << threads;
  }
  const qxw_format stereo{300000, 2, 44100};
  void* data = nullptr;
  size_t size = 0;
  ASSERT_EQ(qxw_encode_bits(input.data(), &stereo, 3.5, 0, &data, &size), QXW_OK);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size),
            one.file);
  qxw_free(data);
  for (double bad : {1.99, 8.01, std::nan("")}) {
    EXPECT_EQ(qxw_encode_bits(input.data(), &format, bad, 1, &data, &size), QXW_INVALID_ARGUMENT);
  }
}

// Music, and music held for stretches that cross the rounds of frames the threads take, as runs.
std::vector<int16_t> musicAndRuns(uint32_t channels) {
  auto samples = makeSignal(Signal::Music, 300000, channels, 6);
  for (size_t i = 0; i < samples.size(); ++i) {
    const size_t held = (i / channels + 2000) % 65536;  // frames since the stretch began
    if (held < 4000) samples[i] = samples[i - std::min(held, i / channels) * channels];
  }
  return samples;
}

// Codes of 20 to 31 bits, their top bit set: with the offsets after them, fields that fit 27 bits,
// fields of up to 32 bits, and codes and offsets that go out as two; written alike on every
// thread count over several rounds of frames, the reconstruction and its digest too.
TEST(TargetEncoder, WritesWideCodesAlikeOnEveryThreadCount) {
  for (uint32_t channels : {2u, 3u}) {
    const auto bytes = sampleBytes(musicAndRuns(channels));
    const UniformTable table(3.0, kMaxMagnitude);
    auto model = makeModel(channels);
    table.applyTo(*model);
    for (int c = 0; c < kContextCount; ++c) {
      for (int s = 0; s < kSymbolColumns; ++s) {
        const int length = 20 + (c + s) % 12;
        model->codeLength[c][s] = length;
        model->codeWord[c][s] = 1u << (length - 1) | static_cast<uint32_t>(c * kSymbolColumns + s);
      }
    }
    const auto write = [&](unsigned threads) {
      OutputStream file;
      file.createInMemory();
      BitWriter writer(file);
      std::vector<int16_t> kept(bytes.size() / 2);
      uint64_t digest = 0;
      const TargetQuality quality = writeTargetSamples(
          {table, 3, channels}, *model, writer, rangeOf(bytes), {kept.data(), &digest}, threads);
      writer.writeBits(31, 0);
      file.close();
      return std::tuple(file.contents(), kept, digest, quality.noise);
    };
    const auto alone = write(1);
    EXPECT_EQ(write(2), alone) << channels;
    EXPECT_EQ(write(3), alone) << channels;
  }
}

// The noise the search weighs the nearest walk by is what writing that walk measures, on any
// number of threads: runs and rails in every channel.
TEST(TargetEncoder, MeasuresTheNoiseTheWrittenWalkMeasures) {
  for (uint32_t channels : {1u, 2u, 3u}) {
    for (const auto& samples :
         {musicAndRuns(channels), makeSignal(Signal::LoudSquare, 40000, channels, channels)}) {
      const auto bytes = sampleBytes(samples);
      const UniformTable table(40.0, kMaxMagnitude);
      auto model = makeModel(channels);
      table.applyTo(*model);
      const TargetWalk walk{table, 4, channels};
      OutputStream file;
      file.createInMemory();
      BitWriter writer(file);
      const long double written =
          writeTargetSamples(walk, *model, writer, rangeOf(bytes), {}, 2).noise;
      for (unsigned threads : {1u, 3u}) {
        EXPECT_EQ(measureTargetNoise(walk, rangeOf(bytes), threads), written) << channels;
      }
    }
  }
}

}  // namespace
}  // namespace qxw

namespace qxw {
namespace {

// The digest /V checks a written file against is that of the samples a reader decodes from the
// file, for every thread count, in both modes: the pieces' parts add up to the whole.
TEST(Recording, TheDigestIsThatOfTheReconstructionOnEveryThreadCount) {
  struct Recorded : CompressionListener {
    OutputStream stream;
    std::vector<int16_t> samples;
    uint64_t digest = 0;
    OutputStream* output() override { return &stream; }
    std::vector<int16_t>* reconstruction() override { return &samples; }
    uint64_t* reconstructionDigest() override { return &digest; }
  };
  const auto input = makeSignal(Signal::Music, 700000, 2);
  const auto bytes = sampleBytes(input);
  const SoundFormat format{700000, 2, 44100};
  uint64_t first = 0;
  for (int threads : {1, 3}) {
    for (bool target : {false, true}) {
      Recorded listener;
      listener.stream.createInMemory();
      if (target) {
        compressToBits(rangeOf(bytes), format, 3.0, listener, threads);
      } else {
        compress(rangeOf(bytes), format, 2, listener, threads);
      }
      listener.stream.close();
      // The public digest of what the file decodes to, not of what the encoder kept.
      const Decoded decoded = decompress(listener.stream.contents());
      ASSERT_EQ(decoded.data, Status::Ok);
      const uint64_t sum = qxw_digest(0, decoded.samples.data(), decoded.samples.size(), 0);
      EXPECT_EQ(listener.digest, sum) << threads << " " << target;
      EXPECT_EQ(listener.samples, decoded.samples) << threads << " " << target;
      if (!target && threads == 1) first = sum;
      if (!target) {
        EXPECT_EQ(sum, first);
      }
    }
  }
}

}  // namespace
}  // namespace qxw
