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

namespace {

// Joins the fields of a's lanes with b's into `to`; false, storing nothing, where a lane of extra
// holds a second field or a joined pair would not fit in 32 bits.
[[gnu::target("avx512f")]] inline bool joinLanes(__m512i a, __m512i b, __m512i extra,
                                                 uint64_t* to) {
  if (_mm512_test_epi64_mask(extra, extra) != 0) return false;
  const __m512i widthB = _mm512_srli_epi64(b, 32);
  const __m512i width = _mm512_add_epi64(_mm512_srli_epi64(a, 32), widthB);
  if (_mm512_cmpgt_epu64_mask(width, _mm512_set1_epi64(32)) != 0) return false;
  const __m512i values = _mm512_set1_epi64(0xFFFFFFFF);
  const __m512i value = _mm512_or_si512(_mm512_sllv_epi64(_mm512_and_si512(a, values), widthB),
                                        _mm512_and_si512(b, values));
  _mm512_storeu_si512(to, _mm512_or_si512(_mm512_slli_epi64(width, 32), value));
  return true;
}

}  // namespace

[[gnu::target("avx512f")]] size_t pairExactFields(const uint64_t* left, const uint64_t* right,
                                                  const uint64_t* leftExtra,
                                                  const uint64_t* rightExtra, size_t frames,
                                                  uint64_t* pairs) {
  if (!wideVectorsAvailable()) return 0;
  size_t i = 0;
  for (; frames - i >= 8; i += 8) {
    const __m512i extra =
        _mm512_or_si512(_mm512_loadu_si512(leftExtra + i), _mm512_loadu_si512(rightExtra + i));
    if (!joinLanes(_mm512_loadu_si512(left + i), _mm512_loadu_si512(right + i), extra, pairs + i)) {
      break;
    }
  }
  return i;
}

[[gnu::target("avx512f")]] size_t pairNeighbourFields(const uint64_t* fields, const uint64_t* extra,
                                                      size_t count, uint64_t* pairs) {
  if (!wideVectorsAvailable()) return 0;
  const __m512i evens = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odds = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  size_t i = 0;
  for (; count - i >= 16; i += 16) {
    const __m512i low = _mm512_loadu_si512(fields + i);
    const __m512i high = _mm512_loadu_si512(fields + i + 8);
    const __m512i extras =
        _mm512_or_si512(_mm512_loadu_si512(extra + i), _mm512_loadu_si512(extra + i + 8));
    if (!joinLanes(_mm512_permutex2var_epi64(low, evens, high),
                   _mm512_permutex2var_epi64(low, odds, high), extras, pairs + i / 2)) {
      break;
    }
  }
  return i;
}

#else

size_t pairExactFields(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, size_t,
                       uint64_t*) {
  return 0;
}

size_t pairNeighbourFields(const uint64_t*, const uint64_t*, size_t, uint64_t*) { return 0; }

size_t codeExactGroups(const uint8_t*, size_t, uint32_t, uint32_t, int32_t, const StepTable::Entry*,
                       const uint32_t*, ExactChain&, uint64_t*, uint64_t*, uint32_t&) {
  return 0;
}

#endif

}  // namespace qxw
