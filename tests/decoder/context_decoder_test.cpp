#include "decoder/context_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "format/code_words.h"
#include "support/output_capture.h"

namespace qxw {
namespace {

constexpr uint32_t kMarker = 0xC0FFEE42;

// Writes the symbols with the code of the given lengths, then a 32-bit marker, and requires the
// reader to decode them and land exactly on the marker.
void expectFencedRoundTrip(const int32_t* lengths, const std::vector<int>& symbols) {
  uint32_t words[kSymbolCount];
  codeWordsFromLengths(lengths, words);
  const auto bytes = qxw::testing::capture([&](BitWriter& writer) {
    for (int s : symbols) writer.writeBits(lengths[s], words[s]);
    writer.writeBits(32, kMarker);
    writer.alignToWord();
  });
  ContextDecoder decoder;
  decoder.build(5, lengths);
  BitReader reader(bytes.data(), bytes.size());
  for (size_t i = 0; i < symbols.size(); ++i) {
    uint32_t offset = 99;
    ASSERT_EQ(decoder.decode(reader, 5, offset), symbols[i]) << i;
    ASSERT_EQ(offset, 0u);
  }
  EXPECT_EQ(reader.read(32), kMarker);
  EXPECT_FALSE(reader.exhausted());
}

std::vector<int> randomSymbols(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int> symbols(count);
  for (int& s : symbols) s = static_cast<int>(rng() % kSymbolCount);
  return symbols;
}

TEST(ContextDecoder, DecodesShortCodesFromTheTable) {
  int32_t flat[kSymbolCount];
  for (int s = 0; s < kSymbolCount; ++s) flat[s] = s == 30 ? 5 : 6;
  expectFencedRoundTrip(flat, randomSymbols(5000, 1));
}

TEST(ContextDecoder, FollowsCodesLongerThanTheTable) {
  // Lengths 1, 2, ..., 26 take all but 2^-26 of the code space; the other 37 symbols fill it
  // exactly with 10 codes of 32 bits and 27 of 31 bits.
  int32_t chain[kSymbolCount];
  for (int s = 0; s < 26; ++s) chain[s] = s + 1;
  for (int s = 26; s < kSymbolCount; ++s) chain[s] = s < 26 + 10 ? 32 : 31;
  uint64_t kraft = 0;
  for (int s = 0; s < kSymbolCount; ++s) kraft += uint64_t{1} << (32 - chain[s]);
  ASSERT_EQ(kraft, uint64_t{1} << 32);
  expectFencedRoundTrip(chain, randomSymbols(3000, 2));
}

// A symbol and its offset taken in one look read exactly what was written as the symbol and then
// the offset: short codes whose fields fit the table, ones that do not, and codes longer than it.
TEST(ContextDecoder, TakesASymbolAndItsOffsetInOneLook) {
  // Lengths 2 to 10: one of 2 bits, two of 3, two of 4, four of 5, eight of 6, twenty of 8,
  // twenty-two of 9 and four of 10 fill the code space exactly.
  int32_t mixed[kSymbolCount];
  const std::pair<int, int> counts[] = {{2, 1}, {3, 2},  {4, 2},  {5, 4},
                                        {6, 8}, {8, 20}, {9, 22}, {10, 4}};
  int next = 0;
  for (const auto& [length, count] : counts) {
    for (int i = 0; i < count; ++i) mixed[next++] = length;
  }
  ASSERT_EQ(next, kSymbolCount);
  uint8_t offsetBits[kSymbolCount];
  std::mt19937 rng(9);
  // Fields of up to 16 bits, and of 32 (a run count's widest) behind the longest codes: the
  // widest a table entry takes, 9 bits of code and 32 of field, and codes past the table.
  for (int s = 0; s < kSymbolCount; ++s) {
    offsetBits[s] = static_cast<uint8_t>(mixed[s] >= 9 ? 32 : rng() % 17);
  }
  uint32_t words[kSymbolCount];
  codeWordsFromLengths(mixed, words);
  const auto symbols = randomSymbols(4000, 3);
  std::vector<uint32_t> offsets;
  const auto bytes = qxw::testing::capture([&](BitWriter& writer) {
    for (int s : symbols) {
      offsets.push_back(static_cast<uint32_t>(rng() & ((uint64_t{1} << offsetBits[s]) - 1)));
      writer.writeBits(mixed[s], words[s]);
      writer.writeBits(offsetBits[s], offsets.back());
    }
    writer.writeBits(32, kMarker);
    writer.alignToWord();
  });
  ContextDecoder decoder;
  decoder.build(31, mixed, offsetBits);
  BitReader reader(bytes.data(), bytes.size());
  for (size_t i = 0; i < symbols.size(); ++i) {
    uint32_t offset = 99;
    ASSERT_EQ(decoder.decode(reader, 31, offset), symbols[i]) << i;
    ASSERT_EQ(offset, offsets[i]) << i;
  }
  EXPECT_EQ(reader.read(32), kMarker);
}

// A decoding loop goes from context to context by the tables the entries name: each symbol's bin
// is the next symbol's context. Every context has a code of its own, with codes past the table in
// some; the zero symbol carries a run count in context 0 and nothing elsewhere.
TEST(ContextDecoder, ChainsContextsThroughTheTablesTheEntriesName) {
  // Lengths 2 to 10 filling the code space, dealt to the symbols in an order each context turns.
  const std::pair<int, int> counts[] = {{2, 1}, {3, 2},  {4, 2},  {5, 4},
                                        {6, 8}, {8, 20}, {9, 22}, {10, 4}};
  int32_t lengths[kContextCount][kSymbolCount];
  uint32_t words[kContextCount][kSymbolCount];
  uint8_t offsetBits[kContextCount][kSymbolCount];
  ContextDecoder decoder;
  for (int c = 0; c < kContextCount; ++c) {
    int next = 0;
    for (const auto& [length, count] : counts) {
      for (int i = 0; i < count; ++i) lengths[c][(next++ + 7 * c) % kSymbolCount] = length;
    }
    for (int s = 0; s < kSymbolCount; ++s) {
      offsetBits[c][s] = static_cast<uint8_t>(s == 0 ? (c == 0 ? 32 : 0) : binOfSymbol(s) % 17);
    }
    codeWordsFromLengths(lengths[c], words[c]);
    decoder.build(c, lengths[c], offsetBits[c]);
  }
  std::mt19937 rng(12);
  struct Written {
    int symbol;
    uint32_t field;
  };
  std::vector<Written> written(3000);
  const auto bytes = qxw::testing::capture([&](BitWriter& writer) {
    int context = 0;
    for (Written& w : written) {
      // Zero symbols often, so that runs open in context 0 and zero steps pass elsewhere.
      w.symbol = rng() % 4 == 0 ? 0 : static_cast<int>(rng() % kSymbolCount);
      const int bits = offsetBits[context][w.symbol];
      w.field = static_cast<uint32_t>(rng() & ((uint64_t{1} << bits) - 1));
      writer.writeBits(lengths[context][w.symbol], words[context][w.symbol]);
      writer.writeBits(bits, w.field);
      context = binOfSymbol(w.symbol);
    }
    writer.writeBits(32, kMarker);
    writer.alignToWord();
  });
  ASSERT_LT(bytes.size(), size_t{16} << 10);  // staged whole: the register needs no restaging
  BitReader reader(bytes.data(), bytes.size());
  BitRegister r = reader.take();
  uint64_t top = ContextDecoder::topOf(r.bits);
  int context = 0;
  const uint16_t* table = decoder.table(0);
  for (size_t i = 0; i < written.size(); ++i) {
    uint32_t field = 0;
    const uint32_t kind = decoder.decode(r, top, table, field);
    const int symbol = ContextDecoder::symbolOfKind(kind >> ContextDecoder::kKindShift);
    ASSERT_EQ(symbol, written[i].symbol) << i;
    ASSERT_EQ(kind >> ContextDecoder::kKindShift, ContextDecoder::kindOf(symbol, context)) << i;
    const int bits = offsetBits[context][symbol];
    ASSERT_EQ(field & static_cast<uint32_t>((uint64_t{1} << bits) - 1), written[i].field) << i;
    context = binOfSymbol(symbol);
    table = decoder.tableAfter(kind);
    ASSERT_EQ(table, decoder.table(context)) << i;
  }
  reader.give(r);
  EXPECT_EQ(reader.read(32), kMarker);
}

// Fields of every width over many times the reader's staging area, read back as written.
TEST(BitReader, ReadsBackFieldsOfEveryWidthAcrossItsStagingArea) {
  std::mt19937 rng(4);
  std::vector<std::pair<int, uint32_t>> fields(200000);
  for (auto& [width, value] : fields) {
    width = static_cast<int>(rng() % 33);
    value = static_cast<uint32_t>(rng() & ((uint64_t{1} << width) - 1));
  }
  const auto bytes = qxw::testing::capture([&](BitWriter& writer) {
    for (const auto& [width, value] : fields) writer.writeBits(width, value);
    writer.alignToWord();
  });
  BitReader reader(bytes.data(), bytes.size());
  uint64_t bits = 0;
  for (const auto& [width, value] : fields) {
    ASSERT_EQ(reader.read(width), value) << bits;
    bits += static_cast<uint64_t>(width);
  }
  EXPECT_EQ(reader.consumedBits(), bits);
  EXPECT_FALSE(reader.exhausted());
}

TEST(BitReader, ReadsZeroBitsPastTheEndAndCountsThem) {
  const std::vector<uint8_t> word = {0x78, 0x56, 0x34, 0x12};
  BitReader reader(word.data(), word.size());
  EXPECT_EQ(reader.read(4), 0x1u);
  EXPECT_EQ(reader.read(28), 0x2345678u);
  EXPECT_FALSE(reader.exhausted());
  EXPECT_EQ(reader.read(32), 0u);
  EXPECT_TRUE(reader.exhausted());
}

}  // namespace
}  // namespace qxw
