#include "app/console.h"

#include <gtest/gtest.h>

namespace qxw {
namespace {

std::string ratioOf(uint64_t declared, uint64_t estimated) {
  const std::string line = formatEstimate(0, declared, estimated);
  const size_t open = line.find('(');
  return line.substr(open + 1, line.find(':', open) - open - 1);
}

TEST(EstimateLine, RoundsTheRatioToHundredths) {
  EXPECT_EQ(ratioOf(1000, 300), "3.33");
  EXPECT_EQ(ratioOf(1994, 1000), "1.99");
  EXPECT_EQ(ratioOf(1995, 1000), "2.00");
  EXPECT_EQ(ratioOf(2000, 2200), "0.91");
  // Products beyond 32 bits keep the right digits.
  EXPECT_EQ(ratioOf(10584044, 3000000), "3.53");
  EXPECT_EQ(ratioOf(52920044, 15000000), "3.53");
  EXPECT_EQ(ratioOf(4294967295u, 2200), "1952257.86");
}

TEST(EstimateLine, HasTheDocumentedShape) {
  EXPECT_EQ("Selected " + formatEstimate(3, 10584044, 3000000),
            "Selected Q3 estimated bytes: 3000000 (3.53:1 compression)\n");
  // Sizes past 32 bits are printed whole.
  EXPECT_EQ(formatEstimate(9, 4294967295u, 5000000000u),
            "Q9 estimated bytes: 5000000000 (0.86:1 compression)\n");
}

}  // namespace
}  // namespace qxw
