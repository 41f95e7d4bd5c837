#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "support/model_helpers.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

std::unique_ptr<EncoderModel> histogram(const std::vector<int16_t>& samples, uint32_t channels) {
  auto model = makeModel(channels);
  const auto bytes = sampleBytes(samples);
  model->histogramDeltas(rangeOf(bytes));
  return model;
}

TEST(DeltaHistogram, CountsDifferencesAndRunsPerChannel) {
  auto repeated = histogram({5, 5, 5, 5}, 1);
  EXPECT_EQ(repeated->deltaHistogram[5], 1u);
  EXPECT_EQ(repeated->deltaHistogram[0], 3u);
  EXPECT_EQ(repeated->binCount[0], 2u);
  EXPECT_EQ(repeated->maxRun, 3u);

  auto twoRuns = histogram({0, 0, 7, 7, 0}, 1);
  EXPECT_EQ(twoRuns->deltaHistogram[0], 3u);
  EXPECT_EQ(twoRuns->deltaHistogram[7], 2u);
  EXPECT_EQ(twoRuns->binCount[0], 3u);
  EXPECT_EQ(twoRuns->maxRun, 2u);

  auto stereo = histogram({1, 2, 1, 3, 1, 4}, 2);
  EXPECT_EQ(stereo->deltaHistogram[1], 3u);
  EXPECT_EQ(stereo->deltaHistogram[2], 1u);
  EXPECT_EQ(stereo->deltaHistogram[0], 2u);
  EXPECT_EQ(stereo->binCount[0], 2u);
  EXPECT_EQ(stereo->maxRun, 2u);
}

TEST(DeltaHistogram, ReachesTheFullMagnitudeRange) {
  auto model = histogram({-32768, 32767}, 1);
  EXPECT_EQ(model->deltaHistogram[32768], 1u);
  EXPECT_EQ(model->deltaHistogram[65535], 1u);
  EXPECT_EQ(model->maxRun, 0u);
  EXPECT_EQ(model->binCount[0], 0u);
}

// Pieces on several threads, merged, must count exactly what one pass counts: runs that cross a
// seam, pieces that are one long run, and runs that end right at a seam.
TEST(DeltaHistogram, PiecesOnThreadsCountWhatOnePassCounts) {
  constexpr size_t kFrames = 600000;
  std::vector<int16_t> seams(kFrames * 2);
  for (size_t i = 0; i < kFrames; ++i) {
    for (size_t c = 0; c < 2; ++c) {
      const bool quiet = (i / 1000) % 150 < 40 || (i > 149000 && i < 451000 && c == 1);
      seams[2 * i + c] = quiet ? 3 : static_cast<int16_t>((i * 7919 + c * 31) % 2000);
    }
  }
  const std::vector<int16_t> runOnly(kFrames, 42);
  for (const auto& [samples, channels] : {std::pair{seams, 2u}, std::pair{runOnly, 1u}}) {
    const auto bytes = sampleBytes(samples);
    auto serial = makeModel(channels);
    serial->histogramDeltas(rangeOf(bytes));
    serial->analyzeHistogram(static_cast<uint32_t>(samples.size() / channels));
    serial->resetContextStatistics();
    serial->gatherContextStatistics(rangeOf(bytes));
    for (unsigned threads : {2u, 3u, 4u}) {
      auto pieces = makeModel(channels);
      histogramDeltasInPieces(*pieces, rangeOf(bytes), threads);
      EXPECT_EQ(pieces->maxRun, serial->maxRun) << threads;
      EXPECT_EQ(pieces->binCount[0], serial->binCount[0]) << threads;
      EXPECT_TRUE(std::equal(std::begin(pieces->deltaHistogram), std::end(pieces->deltaHistogram),
                             std::begin(serial->deltaHistogram)));
      pieces->analyzeHistogram(static_cast<uint32_t>(samples.size() / channels));
      pieces->resetContextStatistics();
      gatherContextStatisticsInPieces(*pieces, rangeOf(bytes), threads);
      for (int c = 0; c < kContextCount; ++c) {
        for (int s = 0; s < kSymbolCount; ++s) {
          ASSERT_EQ(pieces->contextHistogram[c][s], serial->contextHistogram[c][s])
              << threads << " threads, context " << c << ", symbol " << s;
        }
      }
    }
  }
}

// The passes take whole blocks of differences at once and the rest a sample at a time: over any
// length and channel count, with long runs across the blocks' edges and short ones and single
// zero differences anywhere, with vectors and without, one call counts exactly what a call a
// frame, its states carried from call to call, counts.
TEST(DeltaHistogram, CountsInBlocksWhatAFrameAtATimeCounts) {
  for (const auto& [channels, frames, vectors] :
       {std::tuple{1u, size_t{7}, true}, std::tuple{2u, size_t{1024}, true},
        std::tuple{3u, size_t{2600}, true}, std::tuple{1u, size_t{2600}, true},
        std::tuple{2u, size_t{30000}, true}, std::tuple{2u, size_t{2600}, false},
        std::tuple{1u, size_t{30000}, true}, std::tuple{1u, size_t{5000}, false}}) {
    SCOPED_TRACE(::testing::Message()
                 << channels << " channels, " << frames << " frames, vectors " << vectors);
    WideVectors wide(vectors);
    {
      std::vector<int16_t> samples(frames * channels);
      for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i / 300) % 3 == 1 ? 5 : static_cast<int16_t>((i * 7919) % 65536 - 32768);
        // Half the samples repeat their channel's last: runs of every length.
        if ((i * 0x9E3779B97F4A7C15u) >> 63 == 0 && i >= channels)
          samples[i] = samples[i - channels];
      }
      const auto bytes = sampleBytes(samples);
      auto whole = makeModel(channels);
      auto framewise = makeModel(channels);
      whole->histogramDeltas(rangeOf(bytes));
      const size_t stride = 2 * size_t{channels};
      for (size_t f = 0; f < frames; ++f) {
        framewise->histogramDeltas({bytes.data() + f * stride, bytes.data() + (f + 1) * stride});
      }
      ASSERT_TRUE(std::equal(std::begin(whole->deltaHistogram), std::end(whole->deltaHistogram),
                             std::begin(framewise->deltaHistogram)));
      EXPECT_EQ(whole->binCount[0], framewise->binCount[0]);
      EXPECT_EQ(whole->maxRun, framewise->maxRun);
      // The statistics over the table those differences make.
      for (auto* model : {whole.get(), framewise.get()}) {
        model->analyzeHistogram(static_cast<uint32_t>(frames));
        model->resetContextStatistics();
      }
      whole->gatherContextStatistics(rangeOf(bytes));
      for (size_t f = 0; f < frames; ++f) {
        framewise->gatherContextStatistics(
            {bytes.data() + f * stride, bytes.data() + (f + 1) * stride});
      }
      for (int c = 0; c < kContextCount; ++c) {
        for (int sym = 0; sym < kSymbolCount; ++sym) {
          ASSERT_EQ(whole->contextHistogram[c][sym], framewise->contextHistogram[c][sym])
              << "context " << c << ", symbol " << sym;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qxw
