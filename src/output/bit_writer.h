#pragma once

#include <cstddef>
#include <cstdint>

#include "output/output_stream.h"

namespace qxw {

// Packs fields most significant bit first into 32-bit words, each written least significant
// byte first.
class BitWriter {
 public:
  explicit BitWriter(OutputStream& output) : output_(output) {}

  // value must be below 2^width; width is 0..32. Bits gather left-aligned in a 64-bit register;
  // each time 32 are complete, the top word goes out.
  void writeBits(int width, uint32_t value) {
    // The shift is 1..64, and 64 only for a zero-width field, whose value is 0: masking it to 0
    // keeps the result right without an out-of-range shift.
    pending_ |= uint64_t{value} << ((64 - width - bitCount_) & 63);
    bitCount_ += width;
    if (bitCount_ >= 32) {
      emitWord(static_cast<uint32_t>(pending_ >> 32));
      pending_ <<= 32;
      bitCount_ -= 32;
    }
  }

  // Pads a partial word with zero bits and writes it; writes nothing when empty.
  void alignToWord() {
    if (bitCount_ != 0) writeBits(32 - bitCount_, 0);
  }
  void writeBytes(const uint8_t* data, size_t size);
  void writeUint32(uint32_t value);

  OutputStream& output() { return output_; }
  // The word being filled, its first bit in bit 31, and the number of bits in it (0..31).
  uint32_t accumulator() const { return static_cast<uint32_t>(pending_ >> 32); }
  int bitCount() const { return bitCount_; }

 private:
  void emitWord(uint32_t word) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    output_.append(bytes, 4);
  }

  uint64_t pending_ = 0;
  int bitCount_ = 0;
  OutputStream& output_;
};

}  // namespace qxw
