#include "entropy/symbol_cells.h"

#include <bit>

#include "entropy/bin_lookup.h"
#include "format/qxw_layout.h"
#include "format/vector_support.h"

namespace qxw {

#ifdef QXW_VECTORS

// Every sample's bin and sign come from its own difference, and its context and turn from the
// lane before; whether a run holds it, from the two lanes before.
[[gnu::target("avx512f")]] size_t findSymbolCells(const int32_t* diffs, size_t count,
                                                  const uint32_t* binBase, SymbolChain& chain,
                                                  uint32_t noCell, uint32_t* cells) {
  static_assert(kBinCount == 32, "the bases in two vectors");
  if (!wideVectorsAvailable()) return 0;
  const __m512i basesLow = _mm512_loadu_si512(binBase);
  const __m512i basesHigh = _mm512_loadu_si512(binBase + 16);
  const __m512i turnColumns = _mm512_set1_epi32(kBinCount - 1);
  const __m512i none = _mm512_set1_epi32(static_cast<int32_t>(noCell));
  // Lane 15 holds the sample before the group.
  __m512i binsBefore = _mm512_set1_epi32(chain.context);
  __m512i signsBefore = _mm512_set1_epi32(chain.lastNegative ? -1 : 0);
  uint32_t runOpen = chain.runLength != 0;
  uint32_t runLength = chain.runLength;
  size_t i = 0;
  for (; count - i >= kSymbolGroup; i += kSymbolGroup) {
    const __m512i d = _mm512_loadu_si512(diffs + i);
    const __m512i signs = _mm512_srai_epi32(d, 31);
    const __m512i groupBins = binsInLanes(_mm512_abs_epi32(d), basesLow, basesHigh);
    const __m512i contexts = _mm512_alignr_epi32(groupBins, binsBefore, 15);
    const __m512i turns = _mm512_and_si512(
        _mm512_xor_si512(signs, _mm512_alignr_epi32(signs, signsBefore, 15)), turnColumns);
    // Bin 0 is column 0, turned or not.
    const __mmask16 nonZero = _mm512_test_epi32_mask(groupBins, groupBins);
    const __m512i columns = _mm512_maskz_add_epi32(nonZero, groupBins, turns);
    const __m512i found = _mm512_add_epi32(_mm512_slli_epi32(contexts, 6), columns);
    const __m512i zeroPairs = _mm512_or_si512(groupBins, contexts);
    const uint32_t inRun = _mm512_testn_epi32_mask(zeroPairs, zeroPairs);
    const auto held = static_cast<__mmask16>(inRun & (inRun << 1 | runOpen));
    _mm512_storeu_si512(cells + i, _mm512_mask_mov_epi32(found, held, none));
    const int trailing = std::countl_one(static_cast<uint16_t>(inRun));
    runLength = trailing == 16 ? runLength + 16 : static_cast<uint32_t>(trailing);
    runOpen = inRun >> 15;
    binsBefore = groupBins;
    signsBefore = signs;
  }
  if (i > 0) {
    chain.context = lastLane(binsBefore);
    chain.lastNegative = lastLane(signsBefore) != 0;
    chain.runLength = runLength;
  }
  return i;
}

#else

size_t findSymbolCells(const int32_t*, size_t, const uint32_t*, SymbolChain&, uint32_t, uint32_t*) {
  return 0;
}

#endif

}  // namespace qxw
