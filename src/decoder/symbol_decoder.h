#pragma once

#include <array>
#include <cstdint>

#include "format/qxw_layout.h"
#include "decoder/bit_reader.h"

namespace qxw {

// Decodes the symbols of one context's code: a table indexed by the next kTableBits bits
// resolves every code up to that length at once; longer codes continue bit by bit down the
// code tree from the node the table names.
class ContextDecoder {
 public:
  static constexpr int kTableBits = 9;

  // lengths: a complete prefix code of 63 lengths, each 1..32. offsetBits, when given: the width
  // of the field that follows each symbol, so that decodeWithOffset can take both in one look.
  void build(const int32_t* lengths, const uint8_t* offsetBits = nullptr);

  // A symbol and the offset field that follows it (offsetBits as given to build).
  int decodeWithOffset(BitReader& reader, const uint8_t* offsetBits, uint32_t& offset) const {
    const uint32_t bits = reader.peek(kTableBits);
    const Entry entry = table_[bits];
    if (entry.whole != 0) {
      reader.skip(entry.whole);
      offset = (bits >> (kTableBits - entry.whole)) & ((1u << offsetBits[entry.value]) - 1);
      return entry.value;
    }
    int symbol = entry.value;
    if (entry.length != 0) {
      reader.skip(entry.length);
    } else {
      symbol = decode(reader);
    }
    offset = reader.read(offsetBits[symbol]);
    return symbol;
  }

  int decode(BitReader& reader) const {
    const Entry entry = table_[reader.peek(kTableBits)];
    if (entry.length != 0) {
      reader.skip(entry.length);
      return entry.value;
    }
    reader.skip(kTableBits);
    int node = entry.value;
    for (;;) {
      const int16_t child = children_[node][reader.read(1)];
      if (child < 0) return -child - 1;
      node = child;
    }
  }

 private:
  // Two bytes, so that all 32 contexts' tables stay in the first-level cache.
  struct Entry {
    uint16_t value : 6;   // the symbol, or the tree node where a longer code continues
    uint16_t length : 5;  // bits of the symbol's code; 0 when the code is longer than the table
    uint16_t whole : 5;   // bits of the code and its offset when both fit the table, else 0
  };
  // Internal nodes of the code tree; a child is a node index, or -(symbol + 1) for a leaf.
  std::array<std::array<int16_t, 2>, kSymbolCount - 1> children_{};
  std::array<Entry, 1u << kTableBits> table_{};
};

}  // namespace qxw
