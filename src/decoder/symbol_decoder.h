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

  // lengths: a complete prefix code of 63 lengths, each 1..32.
  void build(const int32_t* lengths);

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
  struct Entry {
    uint8_t value;   // the symbol, or the tree node where a longer code continues
    uint8_t length;  // bits of the symbol's code; 0 when the code is longer than the table
  };
  // Internal nodes of the code tree; a child is a node index, or -(symbol + 1) for a leaf.
  std::array<std::array<int16_t, 2>, kSymbolCount - 1> children_{};
  std::array<Entry, 1u << kTableBits> table_{};
};

}  // namespace qxw
