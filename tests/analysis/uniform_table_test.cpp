#include "analysis/uniform_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace qxw {
namespace {

// Every table a step makes is one a reader accepts, and its answers are the nearest level and
// the largest level not above each magnitude, and the nearest step for each signed difference.
TEST(UniformTable, OffersTheNearestLevelOfAValidTable) {
  for (double step : {1.0, 1.5, 7.3, 100.0, 3000.0, 40000.0}) {
    for (uint32_t largest : {0u, 100u, 20000u, 65535u}) {
      const UniformTable table(step, largest);
      auto model = std::make_unique<EncoderModel>();
      table.applyTo(*model);
      EXPECT_EQ(model->binBase[0], 0u);
      for (int b = 1; b < kBinCount; ++b) {
        ASSERT_GE(model->binBase[b], model->binBase[b - 1]) << step << " " << b;
        ASSERT_LE(model->binBase[b], 65535u);
        ASSERT_LE(model->binBits[b], 16);
        ASSERT_LE(model->binShift[b], 16);
      }
      // The largest difference is within a tail spacing (at most 2δ) of a level.
      EXPECT_GE(table.atMost(65535).magnitude + 2 * step, largest) << step << " " << largest;
      for (uint32_t m = 0; m <= 65535; m += 7) {
        const Level& near = table.nearest(m);
        const Level& below = table.atMost(m);
        ASSERT_LE(below.magnitude, m);
        ASSERT_EQ(near.magnitude, near.bin == 0
                                      ? 0u
                                      : model->binBase[near.bin] +
                                            (uint32_t{near.offset} << model->binShift[near.bin]));
        // No level lies strictly between the one below and m, nor nearer than the nearest.
        EXPECT_LE(std::abs(int(near.magnitude) - int(m)), int(m - below.magnitude))
            << step << " " << m;
        if (m + 1 <= 65535) {
          EXPECT_GE(table.atMost(m + 1).magnitude, below.magnitude);
        }
        // A signed difference's answer is its magnitude's, with its sign.
        for (const int32_t d : {int32_t(m), -int32_t(m)}) {
          const SignedLevel& step = table.nearestSteps()[d];
          ASSERT_EQ(step.step, d < 0 ? -int32_t{near.magnitude} : int32_t{near.magnitude}) << d;
          ASSERT_EQ(step.bin, near.bin) << d;
          ASSERT_EQ(step.offset, near.offset) << d;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qxw
