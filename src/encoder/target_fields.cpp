#include "encoder/target_fields.h"

#include <cstdlib>

namespace qxw {

FieldCodes::FieldCodes(const EncoderModel& model, const UniformTable& table, int runWidth)
    : model_(model), table_(table), runWidth_(runWidth) {
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolColumns; ++s) {
      const auto length = static_cast<uint32_t>(model.codeLength[c][s]);
      packedCodes_[c * kSymbolColumns + s] = length <= kPackedShift
                                                 ? length << kPackedShift | model.codeWord[c][s]
                                                 : ~uint32_t{0} << kPackedShift;
    }
  }
  for (int b = 0; b < kBinCount; ++b) {
    bits_[b] = table.bits(b);
    base_[b] = static_cast<int32_t>(table.base(b));
    shift_[b] = table.shift(b);
  }
}

uint64_t* FieldCodes::turn(uint32_t* entries, size_t count, Position& at, uint64_t* side) const {
#ifdef QXW_VECTORS
  if (wideVectorsAvailable()) return turnInLanes(entries, count, at, side);
#endif
  return turnPlainly(entries, count, at, side);
}

uint64_t* FieldCodes::turnPlainly(uint32_t* entries, size_t count, Position& at,
                                  uint64_t* side) const {
  uint8_t context = at.context;
  bool lastNegative = at.lastNegative;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t entry = entries[i];
    if (entry == kHeldEntry) {
      entries[i] = 0;
      continue;
    }
    const int bin = static_cast<int>(entry & 0xFF);
    const int32_t step = static_cast<int32_t>(entry) >> 8;
    const bool down = step < 0;
    const int symbol = bin + (31 & -int{(bin != 0) & (down != lastNegative)});
    const auto length = static_cast<uint32_t>(model_.codeLength[context][symbol]);
    const uint32_t word = model_.codeWord[context][symbol];
    // Without branches, which the zero steps would mislead: the zero bin has no offset bits, and
    // its "offset" from a base of 0 is the run's count, which follows it in context 0 only.
    const auto extra = static_cast<uint32_t>(bits_[bin] + ((bin | context) == 0 ? runWidth_ : 0));
    const uint32_t value = table_.offsetOf(bin, static_cast<uint32_t>(std::abs(step)));
    if (length + extra <= kPackedShift) [[likely]] {
      entries[i] = (length + extra) << kPackedShift | word << extra | value;
    } else {
      entries[i] = kSideFields;
      if (length + extra <= 32) {
        *side++ = uint64_t{length + extra} << 32 |
                  static_cast<uint32_t>((uint64_t{word} << extra) | value);
        *side++ = 0;
      } else {
        *side++ = uint64_t{length} << 32 | word;
        *side++ = uint64_t{extra} << 32 | value;
      }
    }
    context = static_cast<uint8_t>(bin);
    lastNegative = down;
  }
  at = {context, lastNegative};
  return side;
}

#ifdef QXW_VECTORS

// Sixteen entries at a time, each lane's context and sign taken from the lane before. A group
// that holds a run's samples, or a field too wide to pack, goes the plain way.
[[gnu::target("avx512f")]] uint64_t* FieldCodes::turnInLanes(uint32_t* entries, size_t count,
                                                             Position& at, uint64_t* side) const {
  constexpr size_t kLanes = 16;
  const __m512i bitsLow = _mm512_loadu_si512(bits_), bitsHigh = _mm512_loadu_si512(bits_ + 16);
  const __m512i baseLow = _mm512_loadu_si512(base_), baseHigh = _mm512_loadu_si512(base_ + 16);
  const __m512i shiftLow = _mm512_loadu_si512(shift_);
  const __m512i shiftHigh = _mm512_loadu_si512(shift_ + 16);
  const __m512i runWidth = _mm512_set1_epi32(runWidth_);
  const __m512i widest = _mm512_set1_epi32(kPackedShift);
  const __m512i wordMask = _mm512_set1_epi32((1 << kPackedShift) - 1);
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const __m512i entry = _mm512_loadu_si512(entries + i);
    if (_mm512_cmpeq_epi32_mask(entry, _mm512_set1_epi32(kHeldEntry)) != 0) {
      side = turnPlainly(entries + i, kLanes, at, side);
      continue;
    }
    const __m512i bin = _mm512_and_si512(entry, _mm512_set1_epi32(0xFF));
    const __m512i step = _mm512_srai_epi32(entry, 8);
    const auto down = static_cast<unsigned>(_mm512_cmplt_epi32_mask(step, _mm512_setzero_si512()));
    // Each lane's context and sign are the lane before's; the first lane's, where the walk stood.
    const __m512i context = _mm512_alignr_epi32(bin, _mm512_set1_epi32(at.context), 15);
    const unsigned before = (down << 1 | (at.lastNegative ? 1u : 0u)) & 0xFFFF;
    const __mmask16 turned =
        _mm512_test_epi32_mask(bin, bin) & static_cast<__mmask16>(down ^ before);
    const __m512i symbol = _mm512_mask_add_epi32(bin, turned, bin, _mm512_set1_epi32(31));
    const __m512i codes = _mm512_i32gather_epi32(
        _mm512_add_epi32(_mm512_slli_epi32(context, 6), symbol), packedCodes_, 4);
    const __m512i extra = _mm512_add_epi32(
        _mm512_permutex2var_epi32(bitsLow, bin, bitsHigh),
        _mm512_maskz_mov_epi32(
            _mm512_testn_epi32_mask(_mm512_or_si512(bin, context), _mm512_or_si512(bin, context)),
            runWidth));
    const __m512i width = _mm512_add_epi32(_mm512_srli_epi32(codes, kPackedShift), extra);
    if (_mm512_cmpgt_epu32_mask(width, widest) != 0) {
      side = turnPlainly(entries + i, kLanes, at, side);
      continue;
    }
    const __m512i value = _mm512_srlv_epi32(
        _mm512_sub_epi32(_mm512_abs_epi32(step), _mm512_permutex2var_epi32(baseLow, bin, baseHigh)),
        _mm512_permutex2var_epi32(shiftLow, bin, shiftHigh));
    const __m512i word = _mm512_and_si512(codes, wordMask);
    _mm512_storeu_si512(entries + i,
                        _mm512_or_si512(_mm512_slli_epi32(width, kPackedShift),
                                        _mm512_or_si512(_mm512_sllv_epi32(word, extra), value)));
    at = {static_cast<uint8_t>(lastLane(bin)), (down >> 15 & 1) != 0};
  }
  return turnPlainly(entries + i, count - i, at, side);
}

#endif

}  // namespace qxw
