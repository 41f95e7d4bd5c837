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

  // value must be below 2^width; width is 0..32.
  void writeBits(int width, uint32_t value) {
    const int free = 32 - bitCount_ - width;
    if (free > 0) {
      if (width != 0) accumulator_ |= value << free;
      bitCount_ += width;
    } else if (free == 0) {
      accumulator_ |= value;
      emitWord();
      accumulator_ = 0;
      bitCount_ = 0;
    } else {
      const int spill = -free;
      accumulator_ |= value >> spill;
      emitWord();
      accumulator_ = value << (32 - spill);
      bitCount_ = spill;
    }
  }

  // Pads a partial word with zero bits and writes it; writes nothing when empty.
  void alignToWord() {
    if (bitCount_ != 0) writeBits(32 - bitCount_, 0);
  }
  void writeBytes(const uint8_t* data, size_t size);
  void writeUint32(uint32_t value);

  OutputStream& output() { return output_; }
  uint32_t accumulator() const { return accumulator_; }
  int bitCount() const { return bitCount_; }

 private:
  void emitWord() {
    const uint8_t bytes[4] = {static_cast<uint8_t>(accumulator_), static_cast<uint8_t>(accumulator_ >> 8),
                              static_cast<uint8_t>(accumulator_ >> 16),
                              static_cast<uint8_t>(accumulator_ >> 24)};
    output_.append(bytes, 4);
  }

  uint32_t accumulator_ = 0;
  int bitCount_ = 0;
  OutputStream& output_;
};

}  // namespace qxw
