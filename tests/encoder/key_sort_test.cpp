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

std::vector<uint64_t> drawKeys(std::mt19937_64& random, int n) {
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
  return keys;
}

TEST(KeySort, SortsAsAPlainSortDoesInLanesAndWithout) {
  std::mt19937_64 random(11);
  for (const bool wide : {true, false}) {
    const testing::WideVectors vectors(wide);
    for (const int n : {8, 16, 32, 64}) {
      for (int trial = 0; trial < 200; ++trial) {
        std::vector<uint64_t> keys = drawKeys(random, n);
        std::vector<uint64_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        sortKeys(keys.data(), n);
        ASSERT_EQ(keys, sorted) << (wide ? "in lanes, " : "plain, ") << n << " keys";
      }
    }
  }
}

#ifdef QXW_VECTORS
// The intrinsics' results start from lanes left undefined on purpose, which g++ 12 takes for
// uninitialized reads once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

// Sixteen keys as two vectors, one sorted ascending and the other descending: the lesser and the
// greater of each pair of lanes across them, each sorted by the last steps of the network.
[[gnu::target("avx512f")]] void splitInLanes(const uint64_t* keys, uint64_t* least,
                                             uint64_t* greatest) {
  const __m512i ascending = sortLanes(_mm512_loadu_si512(keys));
  const __m512i descending = sortLanesDescending(_mm512_loadu_si512(keys + 8));
  _mm512_storeu_si512(least, sortBitonic(_mm512_min_epu64(ascending, descending)));
  _mm512_storeu_si512(greatest, sortBitonic(_mm512_max_epu64(ascending, descending)));
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TEST(KeySort, SplitsSixteenKeysInLanesIntoTheLeastAndTheGreatestEight) {
  if (!wideVectorsAvailable()) GTEST_SKIP() << "no wide vectors on this machine";
  std::mt19937_64 random(12);
  for (int trial = 0; trial < 500; ++trial) {
    const std::vector<uint64_t> keys = drawKeys(random, 16);
    std::vector<uint64_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint64_t> least(8), greatest(8);
    splitInLanes(keys.data(), least.data(), greatest.data());
    ASSERT_EQ(least, std::vector<uint64_t>(sorted.begin(), sorted.begin() + 8)) << trial;
    ASSERT_EQ(greatest, std::vector<uint64_t>(sorted.begin() + 8, sorted.end())) << trial;
  }
}
#endif

}  // namespace
}  // namespace qxw
