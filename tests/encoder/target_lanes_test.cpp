// The size search's trial counts in vector lanes, held to the walk a block at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "encoder/target_lanes.h"
#include "support/model_helpers.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// Mostly repeated samples, so that runs open, reach their longest count and cross blocks' ends.
std::vector<int16_t> repeats(size_t count) {
  std::mt19937 rng(11);
  std::vector<int16_t> samples(count);
  int16_t held = 0;
  for (auto& s : samples) {
    if (rng() % 9 == 0) held = static_cast<int16_t>(rng() % 4000 - 2000);
    s = held;
  }
  return samples;
}

TEST(TargetLanes, CountWhatTheWalkCountsABlockAtATime) {
  constexpr size_t kBlockFrames = 257;
  for (uint32_t channels : {1u, 2u, 3u, 6u}) {
    const size_t atOnce = targetBlocksAtOnce(channels);
    const size_t frames = kBlockFrames * (atOnce + 2);
    const std::vector<std::vector<int16_t>> inputs = {
        makeSignal(Signal::Music, frames, channels, 3),
        makeSignal(Signal::ClippedMusic, frames, channels, 4),
        makeSignal(Signal::FullScaleNoise, frames, channels, 5), repeats(frames * channels)};
    for (const auto& samples : inputs) {
      // Two bytes ahead, so that the samples start halfway into an aligned 32-bit word.
      std::vector<uint8_t> bytes = {0, 0};
      for (uint8_t b : sampleBytes(samples)) bytes.push_back(b);
      const SampleRange range{bytes.data() + 2, bytes.data() + bytes.size()};
      for (double step : {3.0, 60.0, 2000.0}) {
        const UniformTable table(step, kMaxMagnitude);
        const LaneSteps steps(table);
        for (int runWidth : {0, 3}) {
          const TargetWalk walk{table, runWidth, channels};
          // The first blocks, the second group of lanes left partly empty, and every lane full
          // past the first block.
          const std::pair<size_t, size_t> spans[] = {{0, 1}, {0, atOnce / 2 + 1}, {2, 2 + atOnce}};
          for (const auto& [first, last] : spans) {
            SCOPED_TRACE(::testing::Message()
                         << channels << " channels, input " << &samples - &inputs[0] << ", step "
                         << step << ", run width " << runWidth << ", blocks " << first << "-"
                         << last);
            SymbolCounts expected = {};
            const size_t stride = 2 * size_t{channels};
            for (size_t b = first; b < last; ++b) {
              const uint8_t* from = range.begin + b * kBlockFrames * stride;
              std::vector<TargetState> states = guessedStates(range, from, channels);
              countTargetSymbols(walk, {from, from + kBlockFrames * stride}, states.data(),
                                 expected);
            }
            SymbolCounts counted = {};
            if (!countTargetBlocks(walk, steps, range, kBlockFrames, first, last, counted)) {
              ASSERT_FALSE(wideVectorsAvailable());
              continue;
            }
            ASSERT_EQ(std::memcmp(counted, expected, sizeof(SymbolCounts)), 0);
          }
        }
      }
    }
  }
}

// The search's trials, blocks in lanes and the rest one at a time, choose what the plain walk of
// every block chooses: the same file.
TEST(TargetLanes, LeaveTheSizeSearchWhereThePlainWalkLeavesIt) {
  for (uint32_t channels : {1u, 2u, 6u}) {
    // More blocks than one call takes, and a last one cut short.
    const auto samples = makeSignal(Signal::Music, 2200000 / channels, channels, 8);
    for (double bits : {2.5, 5.0}) {
      std::vector<uint8_t> plain;
      {
        const WideVectors wide(false);
        plain = compressToTarget(samples, channels, bits, 2).file;
      }
      EXPECT_EQ(compressToTarget(samples, channels, bits, 2).file, plain)
          << channels << " " << bits;
    }
  }
}

TEST(TargetLanes, LeaveSamplesOffTwoByteAlignmentToTheWalk) {
  const std::vector<uint8_t> bytes(1 + 2 * 2 * 300, 1);
  const UniformTable table(10.0, kMaxMagnitude);
  SymbolCounts counts = {};
  EXPECT_FALSE(countTargetBlocks({table, 0, 2}, LaneSteps(table),
                                 {bytes.data() + 1, bytes.data() + bytes.size()}, 300, 0, 1,
                                 counts));
  for (const auto& row : counts) {
    for (uint32_t n : row) ASSERT_EQ(n, 0u);
  }
}

}  // namespace
}  // namespace qxw
