// The sorting network, in vector lanes and without, against a plain sort: keys drawn so that
// ties, the largest key and keys differing only in their low bits all occur.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "encoder/key_sort.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

TEST(KeySort, SortsAsAPlainSortDoesInLanesAndWithout) {
  std::mt19937_64 random(11);
  for (const bool wide : {true, false}) {
    const testing::WideVectors vectors(wide);
    for (const int n : {8, 16, 32, 64}) {
      for (int trial = 0; trial < 200; ++trial) {
        std::vector<uint64_t> keys(static_cast<size_t>(n));
        for (uint64_t& key : keys) {
          switch (random() % 4) {
            case 0:
              key = ~uint64_t{0};
              break;
            case 1:
              key = random() % 8;
              break;
            default:
              key = random();
          }
        }
        std::vector<uint64_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        sortKeys(keys.data(), n);
        ASSERT_EQ(keys, sorted) << (wide ? "in lanes, " : "plain, ") << n << " keys";
      }
    }
  }
}

}  // namespace
}  // namespace qxw
