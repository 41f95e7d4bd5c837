#pragma once

#include <array>
#include <cstdint>

#include "decoder/bit_reader.h"
#include "format/qxw_layout.h"

namespace qxw {

// Decodes the symbols of every context's code, with the field that follows each. Each context
// has a table indexed by the next kTableBits bits that resolves every code up to that length,
// and the whole field behind it, in one look; longer codes continue bit by bit down the context's
// code tree from the node the table names. The tables lie one after another, two bytes an entry.
//
// A symbol comes out as its kind: its bin in the low five bits and whether it turns the
// direction above them, which is the symbol itself below 32 and one more from there on; the zero
// symbol outside context 0, which no run count follows, is kind 32. The kind's bin is the next
// context. A decoding loop holds a context as its table, and gets a kind shifted as the entries
// hold it: the next table and the kind's meaning then follow from the last entry in a step or
// two, which is what chains one sample of a channel to its next.
class ContextDecoder {
 public:
  static constexpr int kTableBits = 9;
  static constexpr uint32_t kTableSize = 1u << kTableBits;
  static constexpr int kKindShift = 10;
  static constexpr uint32_t kKindCount = 64;

  static constexpr uint32_t kindOf(int symbol, int context) {
    if (symbol == 0) return context == 0 ? 0 : 32;
    return static_cast<uint32_t>(symbol < 32 ? symbol : symbol + 1);
  }
  static constexpr int symbolOfKind(uint32_t kind) {
    return static_cast<int>(kind <= 32 ? kind % 32 : kind - 1);
  }
  // The index into a table: the first kTableBits of a register's bits.
  static constexpr uint64_t topOf(uint64_t bits) { return bits >> (64 - kTableBits); }
  const uint16_t* table(int context) const {
    return entries_.data() + (static_cast<size_t>(context) << kTableBits);
  }
  // The table of the context a symbol of this kind (shifted) leads to: its bin's, whose place
  // in bytes is the bin times the table's 1024 bytes, where the shifted kind holds the bin.
  const uint16_t* tableAfter(uint32_t shiftedKind) const {
    static_assert(kTableSize * sizeof(uint16_t) == 1u << kKindShift);
    return reinterpret_cast<const uint16_t*>(reinterpret_cast<const uint8_t*>(entries_.data()) +
                                             (shiftedKind & (31u << kKindShift)));
  }

  // context's code: a complete prefix code of 63 lengths, each 1..32. offsetBits, when given: the
  // width of the field that follows each symbol, 0..32; none when null.
  void build(int context, const int32_t* lengths, const uint8_t* offsetBits = nullptr);

  // The kind of the symbol of the context whose table is given, shifted by kKindShift (with other
  // bits below it), and its field in the low bits of `field` (with the code's bits above it), from
  // a register holding at least 56 bits, which it leaves refilled. top: the register's first
  // kTableBits bits, kept by the caller from one symbol to the next: a short code's top is known
  // from the bits already held, before the refill lands, which takes the refill off the path
  // from one code to the next.
  [[gnu::always_inline]] uint32_t decode(BitRegister& r, uint64_t& top, const uint16_t* table,
                                         uint32_t& field) const {
    const uint64_t ahead = r.ahead();
    const uint32_t entry = table[top];
    if ((entry & kCodeLengthBits) != 0) [[likely]] {
      // Every code of the table is at least a bit long, so the shift stays below 64.
      const uint32_t width = entry & 0x3F;
      field = static_cast<uint32_t>(r.bits >> (64 - width));
      // A short code and its field take at most 41 of the 56 bits held, so the next code's
      // first bits are already there.
      top = topOf(r.bits << width);
      r.skipAndRefill(width, ahead);
      // Below the kind, what the caller never looks at.
      return entry;
    }
    const auto context = static_cast<int>((table - entries_.data()) >> kTableBits);
    const uint32_t kind = decodeLong(r, context, entry >> kKindShift, field);
    top = topOf(r.bits);
    return kind << kKindShift;
  }

  // A symbol of context's code and its field, from a reader.
  int decode(BitReader& reader, int context, uint32_t& field) const {
    BitRegister r = reader.take();
    uint64_t top = topOf(r.bits);
    const uint32_t kind = decode(r, top, table(context), field) >> kKindShift;
    reader.give(r);
    const int symbol = symbolOfKind(kind);
    field &= static_cast<uint32_t>((uint64_t{1} << trees_[context].offsetBits[symbol]) - 1);
    return symbol;
  }

 private:
  // Inline too, so that the register never has to leave the registers.
  [[gnu::always_inline]] uint32_t decodeLong(BitRegister& r, int context, uint32_t node,
                                             uint32_t& field) const {
    const Tree& tree = trees_[context];
    r.skip(kTableBits);
    for (;;) {
      const int16_t child = tree.children[node][r.take(1)];
      if (child < 0) {
        const int symbol = -child - 1;
        r.refill();  // up to 32 bits of code were taken, and the field may have 32 more
        field = r.take(tree.offsetBits[symbol]);
        r.refill();
        return kindOf(symbol, context);
      }
      node = child;
    }
  }

  // Internal nodes of a context's code tree; a child is a node index, or -(symbol + 1) for a
  // leaf; and the field's width behind each symbol.
  struct Tree {
    std::array<std::array<int16_t, 2>, kSymbolCount - 1> children{};
    std::array<uint8_t, kSymbolCount> offsetBits{};
  };
  // An entry: the code's and field's bits together in bits 0..5, the code's alone in 6..9 (0 for
  // a code longer than the table), the kind in 10..15; for a longer code, the tree node where it
  // continues in 10..15. Two bytes, so that the tables of the contexts in use stay in the
  // nearest cache.
  static constexpr uint32_t kCodeLengthBits = 0x3C0;
  std::array<uint16_t, kContextCount * kTableSize> entries_{};
  std::array<Tree, kContextCount> trees_{};
};

}  // namespace qxw
