#include <gtest/gtest.h>

#include "support/model_helpers.h"

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

}  // namespace
}  // namespace qxw
