#include <gtest/gtest.h>

#include "support/model_helpers.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// The lossless table of 1000 magnitudes of ten differences each.
std::unique_ptr<EncoderModel> flatTable() {
  auto model = makeModel(1);
  for (int b = 1; b <= 30; ++b) {
    model->binBase[b] = 32u * (b - 1) + 1;
    model->binBits[b] = 5;
    model->binCount[b] = 320;
  }
  model->binBase[31] = 961;
  model->binBits[31] = 6;
  model->binCount[31] = 400;
  model->binCount[0] = 4;
  model->binBits[0] = 2;
  return model;
}

struct Totals {
  uint64_t run = 0, lossless = 0, selected = 0;
};

Totals refine(EncoderModel& model, uint32_t quality) {
  Totals t;
  model.refineBins(quality, t.run, t.lossless, t.selected);
  return t;
}

TEST(Refinement, LeavesTheTableLosslessAtQuality9) {
  auto model = flatTable();
  const Totals t = refine(*model, 9);
  EXPECT_EQ(t.run, 8u);
  EXPECT_EQ(t.lossless, 50400u);
  EXPECT_EQ(t.selected, 50400u);
  EXPECT_EQ(model->binBase[11], 321u);
  for (int b = 0; b < kBinCount; ++b) EXPECT_EQ(model->binShift[b], 0);
}

TEST(Refinement, CoarsensTheSmallestRelativeStepsFirst) {
  auto model = flatTable();
  const Totals t = refine(*model, 8);
  EXPECT_EQ(t.run, 8u);
  EXPECT_EQ(t.lossless, 50400u);
  EXPECT_EQ(t.selected, 39680u);
  for (int b = 1; b <= 31; ++b) {
    EXPECT_EQ(model->binShift[b], b <= 10 ? 0 : b <= 19 ? 1 : 2) << b;
    EXPECT_EQ(model->binBits[b], b <= 10 ? 5 : b <= 19 ? 4 : b <= 30 ? 3 : 4) << b;
  }
  EXPECT_EQ(model->binBase[11], 322u);
  EXPECT_EQ(model->binBase[20], 611u);
  EXPECT_EQ(model->binBase[31], 963u);
  EXPECT_EQ(model->binBits[0], 2);
}

TEST(Refinement, ReachesTheLowQualityTargets) {
  auto q3 = flatTable();
  EXPECT_EQ(refine(*q3, 3).selected, 5440u);
  const int shifts3[] = {0, 2, 3, 3, 4, 4, 4, 4, 4};
  for (int b = 1; b <= 31; ++b) {
    EXPECT_EQ(q3->binShift[b], b <= 9 ? shifts3[b - 1] : b <= 30 ? 5 : 6) << b;
  }

  auto q1 = flatTable();
  EXPECT_EQ(refine(*q1, 1).selected, 320u);
  EXPECT_EQ(q1->binShift[1], 4);
  EXPECT_EQ(q1->binBase[1], 9u);
  EXPECT_EQ(q1->binBits[1], 1);
  for (int b = 2; b <= 31; ++b) EXPECT_EQ(q1->binBits[b], 0) << b;

  auto q0 = flatTable();
  EXPECT_EQ(refine(*q0, 0).selected, 0u);
  for (int b = 1; b <= 30; ++b) EXPECT_EQ(q0->binBase[b], 32u * (b - 1) + 17) << b;
  EXPECT_EQ(q0->binBase[31], 993u);
}

TEST(Refinement, BreaksTiesBetweenEqualKeysByTheHeapOrder) {
  auto model = makeModel(1);
  for (int b = 1; b <= 31; ++b) {
    model->binBase[b] = 32u * b;
    model->binBits[b] = 5;
    model->binCount[b] = 1;
  }
  model->binCount[1] = 2;
  const Totals t = refine(*model, 3);
  EXPECT_EQ(t.lossless, 160u);
  EXPECT_EQ(t.selected, 18u);
  const int shifts[] = {1, 3, 3, 3, 4, 4, 4, 4};
  for (int b = 1; b <= 31; ++b) EXPECT_EQ(model->binShift[b], b <= 8 ? shifts[b - 1] : 5) << b;
}

TEST(Refinement, TakesNoStepWithoutExtraBits) {
  auto model = makeModel(1);
  for (int b = 1; b <= 31; ++b) model->binBase[b] = b;
  const Totals t = refine(*model, 5);
  EXPECT_EQ(t.selected, 0u);
  for (int b = 1; b <= 31; ++b) EXPECT_EQ(model->binShift[b], 0);
}

TEST(Refinement, FormsTheTargetWithoutWrapping) {
  // 70000000 lossless bits, all in bin 1: the quality 8 target 55308642 takes two steps.
  auto model = makeModel(1);
  for (int b = 1; b <= 31; ++b) model->binBase[b] = 100u * b;
  model->binBits[1] = 5;
  model->binCount[1] = 14000000;
  const Totals t = refine(*model, 8);
  EXPECT_EQ(t.lossless, 70000000u);
  EXPECT_EQ(t.selected, 42000000u);
}

}  // namespace
}  // namespace qxw
