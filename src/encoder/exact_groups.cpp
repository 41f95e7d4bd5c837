#include "encoder/exact_groups.h"

#include <cstddef>

#include "format/vector_support.h"

namespace qxw {

#ifdef QXW_VECTORS

// Sixteen samples a group, in 32-bit lanes: every sample's bin and sign come from its own
// difference, and its context and turn from the lane before, so that nothing chains the lanes.
[[gnu::target("avx512f")]] size_t codeExactGroups(const uint8_t* frames, size_t count,
                                                  uint32_t channels, uint32_t channel,
                                                  int32_t before, const StepTable::Entry* steps,
                                                  const uint32_t* codes, ExactChain& chain,
                                                  uint64_t* first, uint64_t* second,
                                                  uint32_t& inexact) {
  static_assert(sizeof(StepTable::Entry) == 8 && offsetof(StepTable::Entry, offset) == 4 &&
                offsetof(StepTable::Entry, bin) == 6 && offsetof(StepTable::Entry, inexact) == 7);
  if (!wideVectorsAvailable() || channels > 2) return 0;
  const size_t stride = 2 * size_t{channels};
  const __m512i low16 = _mm512_set1_epi32(0xFFFF);
  const __m512i low8 = _mm512_set1_epi32(0xFF);
  const __m512i turnBit = _mm512_set1_epi32(32);
  const __m512i none = _mm512_setzero_si512();
  const __m512i values = _mm512_set1_epi32((1 << kNarrowShift) - 1);
  const __m512i notNarrow = _mm512_set1_epi32(static_cast<int32_t>(kNotNarrow >> kNarrowShift));
  // Lanes of values and widths, interleaved into 64-bit fields: the first eight, the last eight.
  const __m512i firstEight =
      _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
  const __m512i lastEight =
      _mm512_set_epi32(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8);
  // Lane 15 holds the sample before the group.
  __m512i samplesBefore = _mm512_set1_epi32(before);
  __m512i binsBefore = _mm512_set1_epi32(chain.context);
  __m512i signsBefore = _mm512_set1_epi32(chain.lastNegative ? -1 : 0);
  __m512i wrong = none;
  // An entry's offset, bin and whether it is inexact, in one lane.
  const auto* entryRest = reinterpret_cast<const uint8_t*>(steps) + 4;
  size_t i = 0;
  for (; count - i >= kExactGroup; i += kExactGroup) {
    const __m512i samples = channelLanes(frames + i * stride, channels, channel);
    const __m512i d = laneDifferences(samples, samplesBefore);
    const __m512i signs = _mm512_srai_epi32(d, 31);
    const __m512i magnitudes = _mm512_abs_epi32(d);
    const __m512i rest = _mm512_i32gather_epi32(magnitudes, entryRest, 8);
    const __m512i bins = _mm512_and_si512(_mm512_srli_epi32(rest, 16), low8);
    const __m512i contexts = _mm512_alignr_epi32(bins, binsBefore, 15);
    const __m512i zeroSymbols = _mm512_or_si512(bins, contexts);
    if (_mm512_testn_epi32_mask(zeroSymbols, zeroSymbols) != 0) break;
    const __m512i turns = _mm512_and_si512(
        _mm512_xor_si512(signs, _mm512_alignr_epi32(signs, signsBefore, 15)), turnBit);
    const __m512i index =
        _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(contexts, 6), turns), bins);
    const __m512i narrow = _mm512_i32gather_epi32(index, codes, 4);
    const __m512i widths = _mm512_srli_epi32(narrow, kNarrowShift);
    if (_mm512_cmpeq_epi32_mask(widths, notNarrow) != 0) break;
    const __m512i fields =
        _mm512_or_si512(_mm512_and_si512(narrow, values), _mm512_and_si512(rest, low16));
    _mm512_storeu_si512(first + i, _mm512_permutex2var_epi32(fields, firstEight, widths));
    _mm512_storeu_si512(first + i + 8, _mm512_permutex2var_epi32(fields, lastEight, widths));
    _mm512_storeu_si512(second + i, none);
    _mm512_storeu_si512(second + i + 8, none);
    wrong = _mm512_or_si512(wrong, rest);
    samplesBefore = samples;
    binsBefore = bins;
    signsBefore = signs;
  }
  if (i > 0) {
    chain.context = lastLane(binsBefore);
    chain.lastNegative = lastLane(signsBefore) != 0;
    inexact |= static_cast<uint32_t>(_mm512_reduce_or_epi32(wrong)) >> 24;
  }
  return i;
}

#else

size_t codeExactGroups(const uint8_t*, size_t, uint32_t, uint32_t, int32_t, const StepTable::Entry*,
                       const uint32_t*, ExactChain&, uint64_t*, uint64_t*, uint32_t&) {
  return 0;
}

#endif

}  // namespace qxw
