#pragma once

#include <cstdint>
#include <memory>

#include "analysis/encoder_model.h"
#include "format/vector_support.h"

namespace qxw {

// The bin of every magnitude 0..65535 at once, for a non-decreasing base table: the same
// answer as findBin, read from a table instead of five dependent comparisons.
class BinLookup {
 public:
  explicit BinLookup(const uint32_t (&binBase)[kBinCount]);

  int operator()(uint32_t magnitude) const {
    return magnitude <= kMaxMagnitude ? table_[magnitude] : findBin(base_, magnitude);
  }
  // The bins of magnitudes 0..65535, for loops whose magnitudes never go beyond; readable
  // kTablePadding bytes further, for loads of four bytes at a time.
  const uint8_t* table() const { return table_.get(); }
  // The bases the bins are found in.
  const uint32_t* bases() const { return base_; }
  static constexpr uint32_t kTablePadding = 3;

 private:
  const uint32_t (&base_)[kBinCount];
  std::unique_ptr<uint8_t[]> table_;
};

#ifdef QXW_VECTORS

// The bin of each lane's magnitude, as findBin finds it: the same five tests of the bases, lane by
// lane, the kBinCount bases held in two vectors.
[[gnu::target("avx512f")]] inline __m512i binsInLanes(__m512i magnitudes, __m512i basesLow,
                                                      __m512i basesHigh) {
  static_assert(kBinCount == 32, "the bases in two vectors");
  __m512i bin = _mm512_setzero_si512();
  for (int half = kBinCount / 2; half > 0; half /= 2) {
    const __m512i mid = _mm512_add_epi32(bin, _mm512_set1_epi32(half));
    const __m512i base = _mm512_permutex2var_epi32(basesLow, mid, basesHigh);
    bin = _mm512_mask_mov_epi32(bin, _mm512_cmpge_epu32_mask(magnitudes, base), mid);
  }
  return bin;
}

#endif

}  // namespace qxw
