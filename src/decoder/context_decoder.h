#pragma once

#include <array>
#include <cstdint>

#include "decoder/bit_reader.h"
#include "format/qxw_layout.h"

namespace qxw {

// Decodes the symbols of one context's code, with the offset field that follows each: a table
// indexed by the next kTableBits bits resolves every code up to that length, and the whole field
// behind it, in one look; longer codes continue bit by bit down the code tree from the node the
// table names.
class ContextDecoder {
 public:
  static constexpr int kTableBits = 9;

  // lengths: a complete prefix code of 63 lengths, each 1..32. offsetBits, when given: the width
  // of the field that follows each symbol, 0..32; none when null.
  void build(const int32_t* lengths, const uint8_t* offsetBits = nullptr);

  // A symbol and the field that follows it, from a register holding at least 56 bits, which it
  // leaves refilled.
  [[gnu::always_inline]] int decode(BitRegister& r, uint32_t& offset) const {
    const uint64_t ahead = r.ahead();
    const Entry entry = table_[r.bits >> (64 - kTableBits)];
    if (entry.codeLength != 0) [[likely]] {
      // Shifted in two steps, so that an empty field gives 0 without a shift by 64.
      offset = static_cast<uint32_t>(((r.bits << entry.codeLength) >> 1) >> entry.offsetShift);
      r.skipAndRefill(entry.fieldLength, ahead);
      return entry.value;
    }
    return decodeLong(r, entry.value, offset);
  }

  // The same from a reader.
  int decode(BitReader& reader, uint32_t& offset) const {
    BitRegister r = reader.take();
    const int symbol = decode(r, offset);
    reader.give(r);
    return symbol;
  }

 private:
  // Inline too, so that the register never has to leave the registers.
  [[gnu::always_inline]] int decodeLong(BitRegister& r, int node, uint32_t& offset) const {
    r.skip(kTableBits);
    for (;;) {
      const int16_t child = children_[node][r.take(1)];
      if (child < 0) {
        const int symbol = -child - 1;
        r.refill();  // up to 32 bits of code were taken, and the field may have 32 more
        offset = r.take(offsetBits_[symbol]);
        r.refill();
        return symbol;
      }
      node = child;
    }
  }

  struct Entry {
    uint8_t value;        // the symbol, or the tree node where a longer code continues
    uint8_t codeLength;   // bits of the symbol's code; 0 when the code is longer than the table
    uint8_t fieldLength;  // bits of the code and its offset
    uint8_t offsetShift;  // 63 less the offset's bits
  };
  std::array<Entry, 1u << kTableBits> table_{};
  // Internal nodes of the code tree; a child is a node index, or -(symbol + 1) for a leaf.
  std::array<std::array<int16_t, 2>, kSymbolCount - 1> children_{};
  std::array<uint8_t, kSymbolCount> offsetBits_{};
};

}  // namespace qxw
