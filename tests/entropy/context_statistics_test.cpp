#include <gtest/gtest.h>

#include <random>

#include "support/model_helpers.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wide_vectors.h"

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

// Symbols found sixteen samples at a time where the machine has wide vectors, over calls of
// any length, count what the plain pass counts in one call, from any state, and leave the same
// states: runs of zero symbols held across groups and calls included.
TEST(ContextStatistics, CountsInVectorGroupsWhatThePlainPassCounts) {
  std::mt19937 rng(7);
  // Steps mostly within bin 0, so that runs open, close and cross groups everywhere.
  std::vector<int16_t> sparse(6 * 3000);
  for (auto& s : sparse) s = static_cast<int16_t>(rng() % 4 == 0 ? rng() % 200 - 100 : rng() % 3);
  const Signal kinds[] = {Signal::Music, Signal::Silence, Signal::FullScaleNoise, Signal::Square,
                          Signal::ClippedMusic};
  for (uint32_t channels : {1u, 2u, 3u, 6u}) {
    auto music = std::make_unique<EncoderModel>();
    const auto doubling = doublingBins(channels);
    compressSamples(*music, makeSignal(Signal::Music, 3000, channels, 2), channels, 9);
    std::vector<std::vector<int16_t>> inputs = {
        std::vector<int16_t>(sparse.begin(), sparse.begin() + 3000 * channels)};
    for (Signal kind : kinds) inputs.push_back(makeSignal(kind, 3000, channels, 5));
    for (const auto& samples : inputs) {
      const auto bytes = sampleBytes(samples);
      const SampleRange range = rangeOf(bytes);
      for (const EncoderModel* bins : {music.get(), doubling.get()}) {
        const auto count = [&](bool vectors, std::vector<size_t> cuts) {
          const WideVectors wide(vectors);
          auto model = makeModel(channels);
          std::copy_n(bins->binBase, kBinCount, model->binBase);
          model->resetContextStatistics();
          model->channels[0] = {-300, 2, 0, 1, 0, 0, 0};  // inside a run of context 0
          if (channels > 1) model->channels[1] = {12000, 0, 9, 0, 0, 0, 0};
          cuts.push_back(samples.size() / channels);
          size_t from = 0;
          for (size_t to : cuts) {
            model->gatherContextStatistics(
                {range.begin + 2 * channels * from, range.begin + 2 * channels * to});
            from = to;
          }
          return model;
        };
        const auto plain = count(false, {});
        const auto grouped = count(true, {5, 21, 700, 2047});
        SCOPED_TRACE(::testing::Message()
                     << channels << " channels, input " << &samples - &inputs[0]);
        for (int c = 0; c < kContextCount; ++c) {
          for (int s = 0; s < kSymbolColumns; ++s) {
            ASSERT_EQ(grouped->contextHistogram[c][s], plain->contextHistogram[c][s])
                << "context " << c << ", column " << s;
          }
        }
        for (uint32_t c = 0; c < channels; ++c) {
          const ChannelState& a = grouped->channels[c];
          const ChannelState& b = plain->channels[c];
          ASSERT_TRUE(a.previous == b.previous && a.runLength == b.runLength &&
                      a.context == b.context && a.lastNegative == b.lastNegative)
              << "channel " << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qxw
