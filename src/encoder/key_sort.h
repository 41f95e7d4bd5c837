#pragma once

#include <cstdint>

#include "format/vector_support.h"

namespace qxw {

// Sorts n keys ascending, n being 8, 16, 32 or 64: a bitonic network, whose compares never depend
// on the keys, so that sorting costs no mispredicted branches. In 512-bit lanes where the machine
// has them, eight keys to a vector.
void sortKeys(uint64_t* keys, int n);

#ifdef QXW_VECTORS

// The lanes of vector r that keep the larger of their pair at a step of the network: the upper
// of a pair where the block of k keys ascends, the lower where it descends.
constexpr __mmask8 largerLanes(int r, int j, int k) {
  unsigned mask = 0;
  for (int lane = 0; lane < 8; ++lane) {
    const bool upper = (lane & j) != 0, descending = ((8 * r + lane) & k) != 0;
    if (upper != descending) mask |= 1u << lane;
  }
  return static_cast<__mmask8>(mask);
}

// One step of the network on the eight keys of vector r: each key against the one j lanes away.
template <int j, int k, int r = 0>
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i sortStep(__m512i keys) {
  constexpr __mmask8 larger = largerLanes(r, j, k);
  const __m512i partners = _mm512_set_epi64(7 ^ j, 6 ^ j, 5 ^ j, 4 ^ j, 3 ^ j, 2 ^ j, 1 ^ j, j);
  const __m512i other = _mm512_permutexvar_epi64(partners, keys);
  return _mm512_mask_blend_epi64(larger, _mm512_min_epu64(keys, other),
                                 _mm512_max_epu64(keys, other));
}

// Eight keys in one vector's lanes, sorted ascending by the same network, for a caller that keeps
// them in registers.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i sortLanes(__m512i keys) {
  keys = sortStep<1, 2>(keys);
  keys = sortStep<1, 4>(sortStep<2, 4>(keys));
  return sortStep<1, 8>(sortStep<2, 8>(sortStep<4, 8>(keys)));
}

// Eight keys sorted descending, by the same network.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i sortLanesDescending(__m512i keys) {
  keys = sortStep<1, 2, 1>(keys);
  keys = sortStep<1, 4, 1>(sortStep<2, 4, 1>(keys));
  return sortStep<1, 8, 1>(sortStep<2, 8, 1>(sortStep<4, 8, 1>(keys)));
}

// Eight keys that ascend and then descend (or the other way), sorted ascending.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i sortBitonic(__m512i keys) {
  return sortStep<1, 16, 0>(sortStep<2, 16, 0>(sortStep<4, 16, 0>(keys)));
}

// Sixteen keys in two vectors, the first eight ascending in `low`, the rest in `high`.
[[gnu::target("avx512f"), gnu::always_inline]] inline void sortLanes(__m512i& low, __m512i& high) {
  // One half ascending, the other descending: the lesser of each pair across them are the least
  // eight, the greater the rest, each in an order that three steps sort.
  const __m512i ascending = sortLanes(low), descending = sortLanesDescending(high);
  low = sortBitonic(_mm512_min_epu64(ascending, descending));
  high = sortBitonic(_mm512_max_epu64(ascending, descending));
}

#endif

}  // namespace qxw
