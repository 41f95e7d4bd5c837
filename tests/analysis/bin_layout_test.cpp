#include <gtest/gtest.h>

#include <set>

#include "analysis/bin_layout.h"
#include "support/model_helpers.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// A one-channel model whose histogram holds the given nonzero counts; frameCount covers them.
struct Layout {
  std::unique_ptr<EncoderModel> model = makeModel(1);
  uint32_t frames = 0;

  void set(uint32_t magnitude, uint32_t count) {
    model->deltaHistogram[magnitude] = count;
    frames += count;
  }
  void setRange(uint32_t first, uint32_t last, uint32_t count) {
    for (uint32_t m = first; m <= last; ++m) set(m, count);
  }
  EncoderModel& analyze() {
    model->analyzeHistogram(frames);
    return *model;
  }
};

void expectBin(const EncoderModel& m, int b, uint32_t base, int bits, uint32_t count) {
  EXPECT_EQ(m.binBase[b], base) << "bin " << b;
  EXPECT_EQ(m.binBits[b], bits) << "bin " << b;
  EXPECT_EQ(m.binCount[b], count) << "bin " << b;
}

TEST(BinLayout, PlacesEqualPopulationBinsWithoutSplit) {
  Layout pairs;
  pairs.setRange(1, 62, 1);
  const auto& m = pairs.analyze();
  for (int b = 1; b <= 31; ++b) expectBin(m, b, 2 * b - 1, 1, 2);

  Layout flat;
  flat.setRange(1, 1000, 10);
  const auto& f = flat.analyze();
  for (int b = 1; b <= 30; ++b) expectBin(f, b, 32 * (b - 1) + 1, 5, 320);
  expectBin(f, 31, 961, 6, 400);
}

TEST(BinLayout, SplitsAFarOutlierIntoTheTopBin) {
  Layout layout;
  layout.setRange(1, 100, 100);
  layout.set(5000, 1);
  const auto& m = layout.analyze();
  expectBin(m, 31, 3977, 10, 1);
  for (int b = 1; b <= 11; ++b) expectBin(m, b, 4 * b - 3, 2, 400);
  const uint32_t bases[] = {45, 47, 51, 53, 57, 59, 63, 65, 69, 71, 75, 77, 81, 83, 87, 89, 93, 95};
  for (int b = 12; b <= 29; ++b) {
    EXPECT_EQ(m.binBase[b], bases[b - 12]) << b;
    EXPECT_EQ(m.binBits[b], b % 2 == 0 ? 1 : 2) << b;
  }
  expectBin(m, 30, 99, 1, 200);
}

TEST(BinLayout, RepairsOverlapsAfterThreeSplitsAndRecounts) {
  Layout layout;
  layout.setRange(1, 100, 100);
  layout.setRange(120, 199, 3);
  layout.set(400, 1);
  const auto& m = layout.analyze();
  for (int b = 1; b <= 17; ++b) {
    EXPECT_EQ(m.binBase[b], 4u * b - 3) << b;
    EXPECT_EQ(m.binBits[b], 2) << b;
  }
  uint32_t base = 69;
  for (int b = 18; b <= 27; ++b) {
    EXPECT_EQ(m.binBase[b], base) << b;
    base += 1u << m.binBits[b];
  }
  EXPECT_EQ(base, 99u);
  expectBin(m, 28, 99, 6, 329);
  expectBin(m, 29, 163, 4, 48);
  expectBin(m, 30, 179, 5, 63);
  expectBin(m, 31, 337, 6, 1);
}

// Bins 8 wide at 10, 20, ..., 60, then far apart from 700 on, with bins 5 and 6 changed: the
// shrinks of the repair, which top splitting reaches only on rare histograms.
TEST(BinLayout, RepairShrinksTheBinBelowAnOverlap) {
  struct Case {
    int bits5, bits6;
    uint32_t base6;
    bool repaired;
    int bits5After, bits6After;
    uint32_t base6After;
  } cases[] = {
      {4, 0, 60, true, 3, 3, 58},   // bin 6 has no extra bits to give up
      {5, 3, 60, true, 4, 4, 66},   // bin 5 reaches past the end of bin 6
      {0, 0, 50, false, 0, 0, 50},  // bin 5 has no extra bits to give up either
      {3, 3, 60, true, 3, 3, 60},   // nothing overlaps
  };
  for (const Case& c : cases) {
    auto model = makeModel(1);
    for (int b = 1; b < kBinCount; ++b) {
      model->binBase[b] = b < 7 ? 10u * b : 100u * b;
      model->binBits[b] = 3;
    }
    model->binBits[5] = c.bits5;
    model->binBits[6] = c.bits6;
    model->binBase[6] = c.base6;
    bool changed = false;
    EXPECT_EQ(repairOverlaps(*model, changed), c.repaired) << c.bits5;
    if (!c.repaired) continue;
    EXPECT_EQ(changed, c.bits5 != 3) << c.bits5;
    EXPECT_EQ(model->binBits[5], c.bits5After) << c.bits5;
    EXPECT_EQ(model->binBits[6], c.bits6After) << c.bits5;
    EXPECT_EQ(model->binBase[6], c.base6After) << c.bits5;
  }
}

TEST(BinLayout, SizesTheRunCountFromTheLongestRun) {
  const std::pair<uint32_t, int> widths[] = {{0, 32}, {1, 0}, {2, 1}, {3, 2},     {4, 2},
                                             {5, 3},  {8, 3}, {9, 4}, {65536, 16}};
  for (auto [maxRun, bits] : widths) {
    Layout layout;
    layout.setRange(1, 62, 1);
    layout.model->maxRun = maxRun;
    EXPECT_EQ(layout.analyze().binBits[0], bits) << maxRun;
  }
}

// What the later passes need from any table, and that every magnitude present is coded exactly.
void expectUsableAndLossless(const EncoderModel& m) {
  EXPECT_EQ(m.binBase[0], 0u);
  for (int b = 1; b < kBinCount; ++b) {
    EXPECT_GE(m.binBase[b], 1u) << b;
    EXPECT_LE(m.binBase[b], 65535u) << b;
    EXPECT_LE(m.binBits[b], 16) << b;
    if (b > 1) {
      EXPECT_GE(m.binBase[b], m.binBase[b - 1]) << b;
    }
  }
  for (uint32_t mag = 1; mag <= 65535; ++mag) {
    if (m.deltaHistogram[mag] == 0) continue;
    const int b = findBin(m.binBase, mag);
    ASSERT_GE(b, 1) << mag;
    EXPECT_LT(mag - m.binBase[b], 1u << m.binBits[b]) << mag;
  }
}

std::unique_ptr<EncoderModel> analyzeSamples(const std::vector<int16_t>& samples,
                                             uint32_t channels) {
  auto model = makeModel(channels);
  const auto bytes = sampleBytes(samples);
  model->histogramDeltas(rangeOf(bytes));
  model->analyzeHistogram(static_cast<uint32_t>(samples.size() / channels));
  return model;
}

TEST(BinLayout, FallsBackForSilenceAndNoSamples) {
  auto silent = analyzeSamples(std::vector<int16_t>(1000, 0), 1);
  expectUsableAndLossless(*silent);
  for (int b = 1; b < kBinCount; ++b) EXPECT_EQ(silent->binBase[b], static_cast<uint32_t>(b));
  EXPECT_EQ(silent->binBits[0], 10);

  auto empty = analyzeSamples({}, 2);
  expectUsableAndLossless(*empty);
  EXPECT_EQ(empty->binBits[0], 32);
}

TEST(BinLayout, GivesFewMagnitudesABinEach) {
  auto single = analyzeSamples({100, 200, 300, 400, 500}, 1);
  expectUsableAndLossless(*single);
  EXPECT_EQ(single->binBase[1], 100u);
  EXPECT_EQ(single->binBits[1], 0);
  EXPECT_EQ(single->binCount[1], 5u);

  std::vector<int16_t> extremes;
  for (int i = 0; i < 64; ++i) extremes.push_back(i % 2 ? 32767 : -32768);
  auto alternating = analyzeSamples(extremes, 1);
  expectUsableAndLossless(*alternating);
  EXPECT_EQ(alternating->binBase[1], 32768u);
  EXPECT_EQ(alternating->binBase[2], 65535u);

  std::vector<int16_t> levels;
  for (int i = 0; i < 300; ++i) levels.push_back(static_cast<int16_t>((i / 7 % 4) * 1000 - 1500));
  auto square = analyzeSamples(levels, 1);
  expectUsableAndLossless(*square);
  for (int b = 1; b < kBinCount; ++b) EXPECT_EQ(square->binBits[b], 0);
}

TEST(BinLayout, FallsBackWhenManyMagnitudesStillRunOutOfRange) {
  // 42 distinct magnitudes, dense at 1..33 with far outliers: the scans leave the range.
  Layout layout;
  const uint32_t dense[] = {32, 43, 1,  27, 17, 14, 33, 26, 41, 30, 22, 10, 25, 5,  21, 27, 15,
                            47, 46, 13, 33, 8,  9,  39, 14, 36, 25, 39, 45, 20, 25, 49, 41};
  for (uint32_t m = 1; m <= 33; ++m) layout.set(m, dense[m - 1]);
  const std::pair<uint32_t, uint32_t> outliers[] = {{11482, 2}, {23260, 1}, {22144, 3},
                                                    {27513, 3}, {21174, 1}, {13985, 3},
                                                    {28767, 1}, {50206, 3}, {17362, 3}};
  for (auto [m, count] : outliers) layout.set(m, count);
  layout.model->frameCount = layout.frames;
  EXPECT_FALSE(placeEqualPopulationBins(*layout.model));

  auto& m = layout.analyze();
  expectUsableAndLossless(m);
  // 42 magnitudes in 31 bins: the dense part shares bins two magnitudes wide.
  EXPECT_EQ(m.binBase[1], 1u);
  EXPECT_EQ(m.binBits[1], 1);
  std::set<uint32_t> bases(m.binBase + 1, m.binBase + kBinCount);
  EXPECT_EQ(bases.size(), 31u);
}

// A model that laid out another sound before (as a library caller may reuse one) must leave
// nothing of it in the next layout.
TEST(BinLayout, OwesNothingToAnEarlierSoundOnTheSameModel) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 5000; ++i) samples.push_back(static_cast<int16_t>((i * 7919) % 600 - 300));
  auto fresh = analyzeSamples(samples, 2);
  auto reused = analyzeSamples(makeSignal(Signal::FullScaleNoise, 4000, 3), 3);
  const auto bytes = sampleBytes(samples);
  reused->initialize(2);
  reused->histogramDeltas(rangeOf(bytes));
  reused->analyzeHistogram(static_cast<uint32_t>(samples.size() / 2));
  for (int bin = 0; bin < kBinCount; ++bin) {
    EXPECT_EQ(reused->binBase[bin], fresh->binBase[bin]) << bin;
    EXPECT_EQ(reused->binBits[bin], fresh->binBits[bin]) << bin;
    EXPECT_EQ(reused->binShift[bin], fresh->binShift[bin]) << bin;
  }
}

}  // namespace
}  // namespace qxw
