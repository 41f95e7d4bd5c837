#include "encoder/bit_writer.h"

#include <gtest/gtest.h>

#include "support/output_capture.h"

namespace qxw {
namespace {

using Bytes = std::vector<uint8_t>;
using qxw::testing::capture;

TEST(BitWriter, PacksFieldsMostSignificantBitFirstIntoLittleEndianWords) {
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(3, 5);
              w.alignToWord();
            }),
            (Bytes{0x00, 0x00, 0x00, 0xA0}));
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(3, 5);
              w.writeBits(2, 3);
              w.alignToWord();
            }),
            (Bytes{0x00, 0x00, 0x00, 0xB8}));
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(32, 0x12345678);
              EXPECT_EQ(w.bitCount(), 0);
            }),
            (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST(BitWriter, SplitsAFieldAcrossTheWordBoundary) {
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(30, 0);
              w.writeBits(4, 11);
              EXPECT_EQ(w.bitCount(), 2);
              w.alignToWord();
            }),
            (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}));
  capture([](BitWriter& w) {
    w.writeBits(5, 0);
    w.writeBits(32, 0xFFFFFFFF);
    EXPECT_EQ(w.bitCount(), 5);
    EXPECT_EQ(w.accumulator(), 0xF8000000u);
  });
  capture([](BitWriter& w) {
    w.writeBits(20, 1);
    w.writeBits(12, 1);
    EXPECT_EQ(w.bitCount(), 0);
    EXPECT_EQ(w.accumulator(), 0u);
  });
}

TEST(BitWriter, ZeroWidthWritesAndEmptyAlignsWriteNothing) {
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(0, 0);
              w.alignToWord();
              w.writeBits(7, 1);
              w.writeBits(0, 0);
              EXPECT_EQ(w.bitCount(), 7);
            }),
            Bytes{});
}

TEST(BitWriter, PadsPendingBitsBeforeRawBytes) {
  EXPECT_EQ(capture([](BitWriter& w) {
              w.writeBits(7, 0x7F);
              const uint8_t raw[] = {1, 2, 3, 4};
              w.writeBytes(raw, 4);
            }),
            (Bytes{0x00, 0x00, 0x00, 0xFE, 1, 2, 3, 4}));
}

// Whole words appended after any number of pending bits, over a batch's end, go out as the same
// words put one at a time, and leave the same bits pending.
TEST(BitWriter, AppendsWordsAfterAnyPendingBitsAsWordsPutOneByOne) {
  Bytes words;
  for (uint32_t i = 0; i < 4 * 4100; ++i) words.push_back(static_cast<uint8_t>(i * 151 + i / 7));
  for (int pending = 0; pending < 32; ++pending) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{3}, size_t{4100}}) {
      const auto write = [&](bool whole) {
        return capture([&](BitWriter& w) {
          w.writeBits(pending, 0x5A5A5A5Au & ((1u << pending) - 1));
          if (whole) {
            w.writeWords(words.data(), count);
          } else {
            for (size_t i = 0; i < count; ++i) w.writeBits(32, loadWord(words.data() + 4 * i));
          }
          w.writeBits(7, 0x55);
          w.alignToWord();
        });
      };
      ASSERT_EQ(write(true), write(false)) << pending << " bits pending, " << count << " words";
    }
  }
}

}  // namespace
}  // namespace qxw
