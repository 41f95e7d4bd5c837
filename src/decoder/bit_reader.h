#pragma once

#include <cstddef>
#include <cstdint>

namespace qxw {

// Reads fields most significant bit first from 32-bit little-endian words, 64 bits at a time.
// Past the last word it supplies zero bits and counts them, so a reader can tell that the data
// ran out without ever reading outside it.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size)
      : next_(data), end_(data + size / 4 * 4), totalBits_(uint64_t{size / 4} * 32) {
    refill();
  }

  // The next width bits (0..32) without consuming them.
  uint32_t peek(int width) {
    if (available_ < 32) refill();
    return width == 0 ? 0 : static_cast<uint32_t>(buffer_ >> (64 - width));
  }
  void skip(int width) {
    buffer_ = width == 0 ? buffer_ : buffer_ << width;
    available_ -= width;
  }
  uint32_t read(int width) {
    const uint32_t value = peek(width);
    skip(width);
    return value;
  }

  // Every word loaded so far, past the end included, less what is still unread.
  uint64_t consumedBits() const { return loadedBits_ - static_cast<uint64_t>(available_); }
  uint64_t totalBits() const { return totalBits_; }
  bool exhausted() const { return consumedBits() > totalBits_; }

 private:
  void refill() {
    while (available_ <= 32) {
      uint32_t word = 0;
      if (next_ < end_) {
        word = next_[0] | (next_[1] << 8) | (next_[2] << 16) | (static_cast<uint32_t>(next_[3]) << 24);
        next_ += 4;
      }
      buffer_ |= uint64_t{word} << (32 - available_);
      available_ += 32;
      loadedBits_ += 32;
    }
  }

  const uint8_t* next_;
  const uint8_t* end_;
  uint64_t buffer_ = 0;  // unread bits, left-aligned
  int available_ = 0;
  uint64_t loadedBits_ = 0;
  uint64_t totalBits_;
};

}  // namespace qxw
