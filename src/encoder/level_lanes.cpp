#include "encoder/level_lanes.h"

#include <bit>
#include <cstring>

#include "encoder/exact_groups.h"
#include "encoder/quantizer.h"
#include "format/vector_support.h"

namespace qxw {

#ifdef QXW_VECTORS

namespace {

// The share of each lane's error fed into its next difference, as errorFeedback gives it.
[[gnu::target("avx512f")]] inline __m512i feedbackLanes(__m512i e) {
  const __m512i sign = _mm512_srai_epi32(e, 31);
  const __m512i half =
      _mm512_srai_epi32(_mm512_add_epi32(e, _mm512_add_epi32(sign, _mm512_set1_epi32(1))), 1);
  const __m512i threeSigns = _mm512_add_epi32(sign, _mm512_add_epi32(sign, sign));
  const __m512i quarter =
      _mm512_srai_epi32(_mm512_add_epi32(e, _mm512_add_epi32(threeSigns, _mm512_set1_epi32(2))), 2);
  const __mmask16 small =
      _mm512_cmple_epu32_mask(_mm512_add_epi32(e, _mm512_set1_epi32(7)), _mm512_set1_epi32(14));
  return _mm512_mask_blend_epi32(small, quarter, half);
}

// Sixteen chains' states in lanes.
struct ChainGroup {
  __m512i lastInput, error, row, runLength;
};

// What every step of a walk reads, in lanes.
struct StepConstants {
  __m512i baseLow, baseHigh, shiftLow, shiftHigh, runWidth, runError;
  const int32_t* steps;
  const uint32_t* codes;
};

// One step of sixteen chains: each sample's word to out but where special, which it returns.
// `next`: the samples of the step after, or null where the block ends.
[[gnu::target("avx512f")]] inline __mmask16 walkGroup(ChainGroup& st, const StepConstants& k,
                                                      const int16_t* in, const int16_t* next,
                                                      uint64_t* out) {
  const __m512i x = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  const __mmask16 inRun = _mm512_test_epi32_mask(st.runLength, st.runLength);
  const __m512i f = feedbackLanes(st.error);
  const __m512i target = _mm512_add_epi32(_mm512_sub_epi32(x, st.lastInput), f);
  const __mmask16 inTable =
      _mm512_cmple_epu32_mask(_mm512_add_epi32(target, _mm512_set1_epi32(kMaxMagnitude)),
                              _mm512_set1_epi32(2 * kMaxMagnitude));
  const __m512i word = _mm512_mask_i32gather_epi32(_mm512_set1_epi32(StepTable::kLaneLacks),
                                                   inTable, target, k.steps, 4);
  const __m512i bin = _mm512_and_si512(word, _mm512_set1_epi32(0xFF));
  const __m512i value = _mm512_srai_epi32(word, 8);
  const __m512i reached = _mm512_add_epi32(_mm512_sub_epi32(st.lastInput, st.error), value);
  const __mmask16 held = _mm512_cmpgt_epi32_mask(reached, _mm512_set1_epi32(kGuardHigh - 1)) |
                         _mm512_cmplt_epi32_mask(reached, _mm512_set1_epi32(kGuardLow));
  const __mmask16 lacking = _mm512_cmpgt_epu32_mask(bin, _mm512_set1_epi32(kBinCount - 1));
  const __m512i zeroSymbol = _mm512_or_si512(bin, _mm512_srli_epi32(st.row, 1));
  const __mmask16 opens = _mm512_testn_epi32_mask(zeroSymbol, zeroSymbol);
  // error - f + target - step: the whole target counts.
  const __m512i newError =
      _mm512_sub_epi32(_mm512_add_epi32(_mm512_sub_epi32(st.error, f), target), value);
  // A zero symbol in context 0 is followed by a run count. A run opens only while twice the
  // error is at most runError, and only where the next sample repeats this one: left to the
  // chained walk's coder. Otherwise the count is 0, joined to the code's field.
  __mmask16 repeats = 0xFFFF;
  if (next != nullptr) {
    const __m512i absError = _mm512_abs_epi32(newError);
    const __mmask16 allowed =
        _mm512_cmple_epu32_mask(_mm512_add_epi32(absError, absError), k.runError);
    const __m512i following =
        _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(next)));
    repeats = _mm512_mask_cmpeq_epi32_mask(allowed, following, x) &
              _mm512_test_epi32_mask(k.runWidth, k.runWidth);
  }
  const auto special = static_cast<__mmask16>(~inRun & (held | lacking | (opens & repeats)));
  const auto coded = static_cast<__mmask16>(~inRun & ~special);
  const auto countZero = static_cast<__mmask16>(coded & opens);

  const __m512i negative = _mm512_srli_epi32(value, 31);
  const __m512i index =
      _mm512_or_si512(_mm512_slli_epi32(_mm512_xor_si512(st.row, negative), 5), bin);
  const __m512i base = _mm512_permutex2var_epi32(k.baseLow, bin, k.baseHigh);
  const __m512i shift = _mm512_permutex2var_epi32(k.shiftLow, bin, k.shiftHigh);
  const __m512i offset = _mm512_srlv_epi32(_mm512_sub_epi32(_mm512_abs_epi32(value), base), shift);
  // The code's bits and width, with the zero count joined; where they do not fit a narrow code,
  // the index and offset marked kLaneApart (and kLaneRun for the count), so that nothing the
  // chain waits on depends on the code.
  const __m512i code = _mm512_i32gather_epi32(index, k.codes, 4);
  const __m512i codeWidth = _mm512_srli_epi32(code, kNarrowShift);
  const __m512i countWidth = _mm512_maskz_mov_epi32(countZero, k.runWidth);
  const __m512i width = _mm512_add_epi32(codeWidth, countWidth);
  const __mmask16 apart = _mm512_cmpgt_epu32_mask(codeWidth, _mm512_set1_epi32(kNarrowWidest)) |
                          _mm512_cmpgt_epu32_mask(width, _mm512_set1_epi32(32));
  const __m512i bits = _mm512_mask_blend_epi32(
      apart,
      _mm512_sllv_epi32(
          _mm512_or_si512(_mm512_and_si512(code, _mm512_set1_epi32((1 << kNarrowShift) - 1)),
                          offset),
          countWidth),
      _mm512_or_si512(_mm512_slli_epi32(offset, 16), index));
  const __m512i marks =
      _mm512_mask_mov_epi32(_mm512_set1_epi32(static_cast<int32_t>(kLaneApart >> 32)), countZero,
                            _mm512_set1_epi32(static_cast<int32_t>((kLaneApart | kLaneRun) >> 32)));
  const __m512i widths =
      _mm512_maskz_mov_epi32(coded, _mm512_mask_blend_epi32(apart, width, marks));
  // Each field its bits in the low half and its width in the high.
  const __m512i firstEight =
      _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
  const __m512i lastEight =
      _mm512_set_epi32(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8);
  const __m512i fields = _mm512_maskz_mov_epi32(coded, bits);
  _mm512_mask_storeu_epi64(out, static_cast<__mmask8>(~special),
                           _mm512_permutex2var_epi32(fields, firstEight, widths));
  _mm512_mask_storeu_epi64(out + 8, static_cast<__mmask8>(~special >> 8),
                           _mm512_permutex2var_epi32(fields, lastEight, widths));

  st.error = _mm512_mask_mov_epi32(st.error, coded, newError);
  st.lastInput = _mm512_mask_mov_epi32(st.lastInput, coded, x);
  st.row =
      _mm512_mask_mov_epi32(st.row, coded, _mm512_or_si512(_mm512_slli_epi32(bin, 1), negative));
  st.runLength = _mm512_mask_sub_epi32(st.runLength, inRun, st.runLength, _mm512_set1_epi32(1));
  return special;
}

// Turns sixteen rows of sixteen 32-bit words into sixteen columns.
[[gnu::target("avx512f")]] inline void transpose(__m512i (&rows)[16]) {
  __m512i t[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_unpacklo_epi32(rows[2 * i], rows[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_epi32(rows[2 * i], rows[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {
    rows[4 * i] = _mm512_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
    rows[4 * i + 1] = _mm512_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
    rows[4 * i + 2] = _mm512_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
    rows[4 * i + 3] = _mm512_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
  }
  for (int h = 0; h < 2; ++h) {
    for (int j = 0; j < 4; ++j) {
      t[8 * h + j] = _mm512_shuffle_i32x4(rows[8 * h + j], rows[8 * h + 4 + j], 0x88);
      t[8 * h + 4 + j] = _mm512_shuffle_i32x4(rows[8 * h + j], rows[8 * h + 4 + j], 0xdd);
    }
  }
  for (int j = 0; j < 8; ++j) {
    rows[j] = _mm512_shuffle_i32x4(t[j], t[8 + j], 0x88);
    rows[8 + j] = _mm512_shuffle_i32x4(t[j], t[8 + j], 0xdd);
  }
}

}  // namespace

[[gnu::target("avx512f")]] void gatherSteps(const uint8_t* const* pieces, uint32_t channels,
                                            size_t count, int16_t* samples) {
  static_assert(kChainLanes == 32);
  // Sixteen steps at a time: a row of sixteen 32-bit words (a frame of a stereo piece, or a
  // sample of each of two mono pieces) for every two lanes, turned into a row for every step.
  size_t step = 0;
  for (; count - step >= 16; step += 16) {
    __m512i rows[16];
    for (int j = 0; j < 16; ++j) {
      if (channels == 2) {
        rows[j] = _mm512_loadu_si512(pieces[j] + 4 * step);
        continue;
      }
      const auto* even = reinterpret_cast<const __m256i*>(pieces[2 * j] + 2 * step);
      const auto* odd = reinterpret_cast<const __m256i*>(pieces[2 * j + 1] + 2 * step);
      rows[j] =
          _mm512_or_si512(_mm512_cvtepu16_epi32(_mm256_loadu_si256(even)),
                          _mm512_slli_epi32(_mm512_cvtepu16_epi32(_mm256_loadu_si256(odd)), 16));
    }
    transpose(rows);
    for (int t = 0; t < 16; ++t) _mm512_storeu_si512(samples + (step + t) * kChainLanes, rows[t]);
  }
  for (; step < count; ++step) {
    for (uint32_t lane = 0; lane < kChainLanes; ++lane) {
      const uint8_t* piece = pieces[lane / channels];
      std::memcpy(samples + step * kChainLanes + lane,
                  piece + 2 * (step * channels + lane % channels), 2);
    }
  }
}

[[gnu::target("avx512f")]] size_t walkLevelLanes(LaneChains& chains, const LaneTables& tables,
                                                 const int16_t* samples, size_t step, size_t stop,
                                                 uint64_t* fields, uint32_t& waiting) {
  static_assert(kChainLanes == 32);
  ChainGroup groups[2];
  for (int g = 0; g < 2; ++g) {
    groups[g] = {_mm512_load_si512(chains.lastInput + 16 * g),
                 _mm512_load_si512(chains.error + 16 * g), _mm512_load_si512(chains.row + 16 * g),
                 _mm512_load_si512(chains.runLength + 16 * g)};
  }
  const StepConstants k{_mm512_loadu_si512(tables.binBase),
                        _mm512_loadu_si512(tables.binBase + 16),
                        _mm512_loadu_si512(tables.binShift),
                        _mm512_loadu_si512(tables.binShift + 16),
                        _mm512_set1_epi32(static_cast<int32_t>(tables.runWidth)),
                        _mm512_set1_epi32(static_cast<int32_t>(tables.runError)),
                        tables.steps,
                        tables.codes};
  waiting = 0;
  for (; step < stop; ++step) {
    const int16_t* in = samples + step * kChainLanes;
    uint64_t* out = fields + step * kChainLanes;
    const int16_t* next = step + 1 < stop ? in + kChainLanes : nullptr;
    const uint32_t low = walkGroup(groups[0], k, in, next, out);
    const uint32_t high =
        walkGroup(groups[1], k, in + 16, next != nullptr ? next + 16 : nullptr, out + 16);
    if ((low | high) != 0) [[unlikely]] {
      waiting = low | high << 16;
      break;
    }
  }
  for (int g = 0; g < 2; ++g) {
    _mm512_store_si512(chains.lastInput + 16 * g, groups[g].lastInput);
    _mm512_store_si512(chains.error + 16 * g, groups[g].error);
    _mm512_store_si512(chains.row + 16 * g, groups[g].row);
    _mm512_store_si512(chains.runLength + 16 * g, groups[g].runLength);
  }
  return step;
}

namespace {

// Eight pieces' cursors in lanes.
struct CursorGroup {
  __m512i bits, count;
};

// One step of eight pieces: their frames' fields put, but for the pieces the frame of which is
// marked or wider than 32 bits, which it returns; the words the cursors store to `words`.
template <uint32_t kChannels>
[[gnu::target("avx512f")]] inline __mmask8 packGroup(CursorGroup& c, __mmask8 active,
                                                     const uint64_t* in, uint64_t* words) {
  const __m512i marks = _mm512_set1_epi64(static_cast<int64_t>(kLaneTwo | kLaneApart | kLaneRun));
  const __m512i low = _mm512_set1_epi64(0xFFFFFFFF);
  __m512i width, value;
  __mmask8 special;
  if constexpr (kChannels == 2) {
    const __m512i a = _mm512_loadu_si512(in);
    const __m512i b = _mm512_loadu_si512(in + 8);
    const __m512i left =
        _mm512_permutex2var_epi64(a, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), b);
    const __m512i right =
        _mm512_permutex2var_epi64(a, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), b);
    const __m512i rightWidth = _mm512_srli_epi64(right, 32);
    width = _mm512_add_epi64(_mm512_srli_epi64(left, 32), rightWidth);
    value = _mm512_or_si512(_mm512_sllv_epi64(_mm512_and_si512(left, low), rightWidth),
                            _mm512_and_si512(right, low));
    special = _mm512_test_epi64_mask(_mm512_or_si512(left, right), marks) |
              _mm512_cmpgt_epu64_mask(width, _mm512_set1_epi64(32));
  } else {
    const __m512i f = _mm512_loadu_si512(in);
    width = _mm512_srli_epi64(f, 32);
    value = _mm512_and_si512(f, low);
    special = _mm512_test_epi64_mask(f, marks);
  }
  special &= active;
  const auto go = static_cast<__mmask8>(active & ~special);
  // Pieces that take no part put nothing: their cursors stay as they are.
  width = _mm512_maskz_mov_epi64(go, width);
  c.bits = _mm512_or_si512(_mm512_sllv_epi64(c.bits, width), _mm512_maskz_mov_epi64(go, value));
  c.count = _mm512_add_epi64(c.count, width);
  // Below 32 bits the shift is past the register and the word 0, which moves nothing on.
  const __m512i word = _mm512_srlv_epi64(c.bits, _mm512_sub_epi64(c.count, _mm512_set1_epi64(32)));
  const __m512i advance = _mm512_slli_epi64(_mm512_srli_epi64(c.count, 5), 34);
  _mm512_storeu_si512(words,
                      _mm512_ternarylogic_epi64(word, low, advance, 0xEA));  // word & low | advance
  c.count = _mm512_and_si512(c.count, _mm512_set1_epi64(31));
  return special;
}

template <uint32_t kChannels>
[[gnu::target("avx512f")]] size_t packSteps(LaneCursors& cursors, uint32_t active,
                                            const uint64_t* fields, size_t step, size_t stop,
                                            uint64_t* words, uint32_t& waiting) {
  constexpr int kGroups = static_cast<int>(kChainLanes / kChannels / 8);
  CursorGroup groups[kGroups];
  for (int g = 0; g < kGroups; ++g) {
    groups[g] = {_mm512_load_si512(cursors.bits + 8 * g), _mm512_load_si512(cursors.count + 8 * g)};
  }
  waiting = 0;
  for (; step < stop; ++step) {
    const uint64_t* in = fields + step * kChainLanes;
    uint32_t special = 0;
    for (int g = 0; g < kGroups; ++g) {
      const auto mask = static_cast<__mmask8>(active >> (8 * g));
      special |= uint32_t{packGroup<kChannels>(groups[g], mask, in + 8 * kChannels * g,
                                               words + step * kChainLanes + 8 * g)}
                 << (8 * g);
    }
    if (special != 0) [[unlikely]] {
      waiting = special;
      break;
    }
  }
  for (int g = 0; g < kGroups; ++g) {
    _mm512_store_si512(cursors.bits + 8 * g, groups[g].bits);
    _mm512_store_si512(cursors.count + 8 * g, groups[g].count);
  }
  return step;
}

// Turns eight rows of eight 64-bit words into eight columns.
[[gnu::target("avx512f")]] inline void transpose(__m512i (&rows)[8]) {
  __m512i t[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm512_unpacklo_epi64(rows[2 * i], rows[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_epi64(rows[2 * i], rows[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {
    for (int j = 0; j < 2; ++j) {
      rows[4 * h + j] = _mm512_shuffle_i64x2(t[4 * h + j], t[4 * h + 2 + j], 0x88);
      rows[4 * h + 2 + j] = _mm512_shuffle_i64x2(t[4 * h + j], t[4 * h + 2 + j], 0xdd);
    }
  }
  for (int j = 0; j < 4; ++j) {
    t[j] = _mm512_shuffle_i64x2(rows[j], rows[4 + j], 0x88);
    t[4 + j] = _mm512_shuffle_i64x2(rows[j], rows[4 + j], 0xdd);
  }
  for (int j = 0; j < 8; ++j) rows[j] = t[j];
}

// Eight steps at a time of each group of eight pieces: a piece's words turned into a row, its
// complete ones pressed together and stored at once; the cursors' addresses move on in lanes, by
// the bytes each word says. Returns the step it got to.
[[gnu::target("avx512f,avx512vl")]] size_t storeEightSteps(LaneCursors& cursors, uint32_t pieces,
                                                           const uint64_t* words, size_t from,
                                                           size_t to) {
  if (pieces % 8 != 0 || to - from < 8) return from;
  const __m512i complete = _mm512_set1_epi64(int64_t{1} << 34);  // the cursor moves on by 4
  size_t step = from;
  for (uint32_t g = 0; g < pieces / 8; ++g) {
    __m512i next = _mm512_load_si512(cursors.next + 8 * g);
    alignas(64) uint64_t at[8];
    for (step = from; to - step >= 8; step += 8) {
      __m512i rows[8];
      __m512i moved = _mm512_setzero_si512();
      for (int j = 0; j < 8; ++j) {
        rows[j] = _mm512_loadu_si512(words + (step + j) * kChainLanes + 8 * g);
        moved = _mm512_add_epi64(moved, _mm512_srli_epi64(rows[j], 32));
      }
      _mm512_store_si512(at, next);
      next = _mm512_add_epi64(next, moved);
      transpose(rows);
      for (int i = 0; i < 8; ++i) {
        const __mmask8 moves = _mm512_test_epi64_mask(rows[i], complete);
        const __m256i packed = _mm256_maskz_compress_epi32(moves, _mm512_cvtepi64_epi32(rows[i]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(static_cast<uintptr_t>(at[i])), packed);
      }
    }
    _mm512_store_si512(cursors.next + 8 * g, next);
  }
  return step;
}

}  // namespace

size_t packFieldsInLanes(LaneCursors& cursors, uint32_t channels, uint32_t active,
                         const uint64_t* fields, size_t step, size_t stop, uint64_t* words,
                         uint32_t& waiting) {
  static_assert(kChainLanes == 32);
  if (channels == 2) return packSteps<2>(cursors, active, fields, step, stop, words, waiting);
  return packSteps<1>(cursors, active, fields, step, stop, words, waiting);
}

#else

size_t packFieldsInLanes(LaneCursors&, uint32_t, uint32_t, const uint64_t*, size_t step, size_t,
                         uint64_t*, uint32_t& waiting) {
  waiting = 0;
  return step;
}

void gatherSteps(const uint8_t* const*, uint32_t, size_t, int16_t*) {}

size_t walkLevelLanes(LaneChains&, const LaneTables&, const int16_t*, size_t step, size_t,
                      uint64_t*, uint32_t& waiting) {
  waiting = 0;
  return step;
}

#endif

// The steps the groups leave, a word a step.
void storeLaneWords(LaneCursors& cursors, uint32_t pieces, const uint64_t* words, size_t from,
                    size_t to) {
#ifdef QXW_VECTORS
  from = storeEightSteps(cursors, pieces, words, from, to);
#endif
  for (uint32_t p = 0; p < pieces; ++p) {
    auto* next = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(cursors.next[p]));
    for (size_t t = from; t < to; ++t) {
      const uint64_t word = words[t * kChainLanes + p];
      storeWord(next, static_cast<uint32_t>(word));
      next += word >> 32;
    }
    cursors.next[p] = reinterpret_cast<uintptr_t>(next);
  }
}

}  // namespace qxw
