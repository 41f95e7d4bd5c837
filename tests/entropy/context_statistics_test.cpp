#include <gtest/gtest.h>

#include "support/model_helpers.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// Bases 0, 4, 8, 16, 32, ... doubling, capped at 65535.
std::unique_ptr<EncoderModel> doublingBins(uint32_t channels) {
  auto model = makeModel(channels);
  model->binBase[0] = 0;
  model->binBase[1] = 4;
  for (int b = 2; b < kBinCount; ++b)
    model->binBase[b] = std::min(model->binBase[b - 1] * 2, 65535u);
  model->resetContextStatistics();
  return model;
}

void gather(EncoderModel& model, const std::vector<int16_t>& samples) {
  const auto bytes = sampleBytes(samples);
  model.gatherContextStatistics(rangeOf(bytes));
}

uint32_t totalCounts(const EncoderModel& model) {
  uint32_t total = 0;
  for (auto& row : model.contextHistogram) {
    for (uint32_t count : row) total += count;
  }
  return total;
}

TEST(BinSearch, FindsTheLargestBaseNotAboveTheMagnitude) {
  auto model = doublingBins(1);
  EXPECT_EQ(findBin(model->binBase, 0), 0);
  EXPECT_EQ(findBin(model->binBase, 3), 0);
  EXPECT_EQ(findBin(model->binBase, 4), 1);
  EXPECT_EQ(findBin(model->binBase, 15), 2);
  EXPECT_EQ(findBin(model->binBase, 16), 3);
  EXPECT_EQ(findBin(model->binBase, 65535), 31);
}

TEST(ContextStatistics, CountsARunOfZeroBinsOnce) {
  auto silent = doublingBins(1);
  gather(*silent, std::vector<int16_t>(500, 0));
  EXPECT_EQ(silent->contextHistogram[0][0], 1u);
  EXPECT_EQ(totalCounts(*silent), 1u);
  EXPECT_EQ(silent->channels[0].runLength, 500u);

  // Bins 2, 0, 0, 0, 0, 2: the zeros count once in context 2 and once in context 0.
  auto model = doublingBins(1);
  gather(*model, {10, 10, 10, 10, 10, 20});
  EXPECT_EQ(model->contextHistogram[0][2], 2u);
  EXPECT_EQ(model->contextHistogram[2][0], 1u);
  EXPECT_EQ(model->contextHistogram[0][0], 1u);
  EXPECT_EQ(model->contextHistogram[0][2 + 31], 0u);
  EXPECT_EQ(totalCounts(*model), 4u);
  EXPECT_EQ(model->channels[0].runLength, 0u);
}

TEST(ContextStatistics, TracksDirectionThroughZeroBinSamples) {
  // -3 falls into bin 0 but is negative, so a following -9 keeps its direction.
  auto model = doublingBins(1);
  gather(*model, {0, -3, -12});
  EXPECT_EQ(model->contextHistogram[0][2], 1u);
  // After an exact zero difference the direction is "not negative", so -9 turns.
  auto turned = doublingBins(1);
  gather(*turned, {0, 0, -9});
  EXPECT_EQ(turned->contextHistogram[0][2 + 31], 1u);
}

TEST(ContextStatistics, KeepsChannelsApart) {
  // Left is silent; right rises by 10 each frame.
  auto model = doublingBins(2);
  gather(*model, {0, 10, 0, 20, 0, 30, 0, 40});
  EXPECT_EQ(model->contextHistogram[0][0], 1u);
  EXPECT_EQ(model->contextHistogram[0][2], 1u);
  EXPECT_EQ(model->contextHistogram[2][2], 3u);
  EXPECT_EQ(model->channels[0].runLength, 4u);
  for (auto& row : model->contextHistogram) EXPECT_EQ(row[63], 0u);
}

}  // namespace
}  // namespace qxw
