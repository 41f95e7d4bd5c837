#include "encoder/key_sort.h"

#include "format/vector_support.h"

namespace qxw {

namespace {

template <int n>
void sortPlain(uint64_t* keys) {
  for (int k = 2; k <= n; k <<= 1) {
    for (int j = k >> 1; j > 0; j >>= 1) {
      for (int i = 0; i < n; ++i) {
        const int l = (i ^ j) & (n - 1);
        if (l <= i) continue;
        const uint64_t a = keys[i], b = keys[l];
        const uint64_t low = a < b ? a : b, high = a < b ? b : a;
        const bool ascending = (i & k) == 0;
        keys[i] = ascending ? low : high;
        keys[l] = ascending ? high : low;
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

// The same network: pairs further apart than a vector are compared vector to vector, nearer ones
// within a vector against its lanes swapped.
template <int n>
[[gnu::target("avx512f")]] void sortWide(uint64_t* keys) {
  if constexpr (n == 8) {
    _mm512_storeu_si512(keys, sortLanes(_mm512_loadu_si512(keys)));
    return;
  } else if constexpr (n == 16) {
    __m512i low = _mm512_loadu_si512(keys), high = _mm512_loadu_si512(keys + 8);
    sortLanes(low, high);
    _mm512_storeu_si512(keys, low);
    _mm512_storeu_si512(keys + 8, high);
    return;
  }
  constexpr int kVectors = n / 8;
  __m512i v[kVectors];
#pragma GCC unroll 8
  for (int r = 0; r < kVectors; ++r) v[r] = _mm512_loadu_si512(keys + 8 * r);
  const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
  constexpr int kBits = n == 8 ? 3 : n == 16 ? 4 : n == 32 ? 5 : 6;
  static_assert(1 << kBits == n);
#pragma GCC unroll 6
  for (int kBit = 1; kBit <= kBits; ++kBit) {
    const int k = 1 << kBit;
#pragma GCC unroll 6
    for (int jBit = kBit - 1; jBit >= 0; --jBit) {
      const int j = 1 << jBit;
      if (j >= 8) {
        const int apart = j / 8;
#pragma GCC unroll 8
        for (int r = 0; r < kVectors; ++r) {
          if ((r & apart) != 0) continue;
          const __m512i low = _mm512_min_epu64(v[r], v[r | apart]);
          const __m512i high = _mm512_max_epu64(v[r], v[r | apart]);
          const bool ascending = ((8 * r) & k) == 0;
          v[r] = ascending ? low : high;
          v[r | apart] = ascending ? high : low;
        }
      } else {
        const __m512i partners = _mm512_xor_si512(lanes, _mm512_set1_epi64(j));
#pragma GCC unroll 8
        for (int r = 0; r < kVectors; ++r) {
          const __m512i other = _mm512_permutexvar_epi64(partners, v[r]);
          v[r] = _mm512_mask_blend_epi64(largerLanes(r, j, k), _mm512_min_epu64(v[r], other),
                                         _mm512_max_epu64(v[r], other));
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < kVectors; ++r) _mm512_storeu_si512(keys + 8 * r, v[r]);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

}  // namespace

void sortKeys(uint64_t* keys, int n) {
#ifdef QXW_VECTORS
  if (wideVectorsAvailable()) {
    switch (n) {
      case 8:
        return sortWide<8>(keys);
      case 16:
        return sortWide<16>(keys);
      case 32:
        return sortWide<32>(keys);
      default:
        return sortWide<64>(keys);
    }
  }
#endif
  switch (n) {
    case 8:
      return sortPlain<8>(keys);
    case 16:
      return sortPlain<16>(keys);
    case 32:
      return sortPlain<32>(keys);
    default:
      return sortPlain<64>(keys);
  }
}

}  // namespace qxw
