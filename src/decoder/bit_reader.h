#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qxw {

// Up to 64 bits of the stream, most significant first, and where its next bytes come from: plain
// values that a decoding loop keeps in registers. refill() tops the register up to at least 56
// bits without a branch.
struct BitRegister {
  uint64_t bits;  // the next `count` bits, left-aligned; below them only zeros or the bits after
  uint32_t count;
  const uint8_t* next;  // the first byte not yet counted, in big-endian order

  // The 64 bits from next on; where they go in the register depends only on count.
  [[gnu::always_inline]] uint64_t ahead() const {
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = word << 8 | next[i];
    return word;
  }
  [[gnu::always_inline]] void refill() {
    bits |= ahead() >> count;
    next += (63 - count) >> 3;
    count |= 56;
  }
  // skip(width) then refill(), with `word` = ahead() read before the skip: the load waits for
  // nothing that the width depends on.
  [[gnu::always_inline]] void skipAndRefill(uint32_t width, uint64_t word) {
    const uint32_t left = count - width;
    bits = (bits << width) | (word >> left);
    next += (63 - left) >> 3;
    count = left | 56;
  }
  // The next width bits, 0..32, without consuming them.
  uint32_t peek(uint32_t width) const { return static_cast<uint32_t>((bits >> 1) >> (63 - width)); }
  void skip(uint32_t width) {
    bits <<= width;
    count -= width;
  }
  uint32_t take(uint32_t width) {
    const uint32_t value = peek(width);
    skip(width);
    return value;
  }
};

// Reads fields most significant bit first from 32-bit little-endian words. The words go through a
// small staging area that holds them as one big-endian byte stream, which the register loads 64
// bits at a time. Past the last word it supplies zero bits and counts them, so a reader can tell
// that the data ran out without ever reading outside it.
//
// The words come from one block in memory, or are fed in pieces as they arrive. A fed reader
// holds only the staging area; until the last word is in, a loop may go on reading while margin
// bytes are staged beyond its register's `next` (restage() says when it may not), so that no
// byte the register loads is one still to come.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size);
  // Fed: size bytes of data will come through supply().
  BitReader(size_t size, size_t margin);
  BitReader(const BitReader&) = delete;
  BitReader& operator=(const BitReader&) = delete;

  // The next width bits (0..32) without consuming them.
  uint32_t peek(int width) {
    ensure();
    return register_.peek(static_cast<uint32_t>(width));
  }
  void skip(int width) { register_.skip(static_cast<uint32_t>(width)); }
  uint32_t read(int width) {
    const uint32_t value = peek(width);
    skip(width);
    return value;
  }

  // For loops that read many fields: the register, to be given back before any other call. Once
  // its `next` passes limit(), it must go through restage() before it moves kSlack bytes on.
  BitRegister take() {
    ensure();
    return register_;
  }
  void give(const BitRegister& r) { register_ = r; }
  const uint8_t* limit() const { return limit_; }
  // Moves next to the front of a refilled staging area; false when a fed reader has too few bytes
  // beyond it to go on.
  bool restage(const uint8_t*& next);

  // A reader of one block: goes on from bit `bit` of the data; positions stay counted from its
  // start.
  void seek(uint64_t bit);

  // Fed: stages up to n more bytes of the data, as far as the staging area has room; how many.
  size_t supply(const uint8_t* bytes, size_t n);
  // Every byte of the data is staged (always, for a reader of one block).
  bool complete() const { return supplied_ == fullSize_; }
  // A loop may start with the register given back: enough bytes are staged beyond it.
  bool ready() const { return complete() || stagedAhead(register_.next) >= margin_ + 8; }

  // Every word loaded so far, past the end included, less what is still unread.
  uint64_t consumedBits() const {
    return (stageOffset_ + static_cast<uint64_t>(register_.next - stage_.get())) * 8 -
           register_.count;
  }
  uint64_t totalBits() const { return totalBits_; }
  bool exhausted() const { return consumedBits() > totalBits_; }

  static constexpr size_t kSlack = 256;

 private:
  // data: null when fed; supplied: the bytes of it already there.
  BitReader(const uint8_t* data, size_t size, size_t supplied, size_t margin);
  void fill(size_t at);
  void setLimit();
  size_t stagedAhead(const uint8_t* next) const {
    return static_cast<size_t>(converted_ - stageOffset_) -
           static_cast<size_t>(next - stage_.get());
  }
  void ensure() {
    if (register_.next > limit_) restage(register_.next);
    register_.refill();
  }

  const uint8_t* data_;       // null when fed
  size_t size_;               // whole words only
  size_t fullSize_;           // the data's bytes, whole words or not
  size_t margin_ = 0;         // fed: bytes a loop needs staged beyond next
  size_t converted_ = 0;      // bytes of whole words staged so far
  size_t supplied_ = 0;       // bytes fed so far, the part of a word included
  uint8_t partWord_[4] = {};  // fed: a word's first bytes, waiting for the rest
  uint64_t stageOffset_ = 0;  // the stream position of the staging area's first byte
  std::unique_ptr<uint8_t[]> stage_;
  const uint8_t* limit_ = nullptr;
  BitRegister register_{0, 0, nullptr};
  uint64_t totalBits_;
};

}  // namespace qxw
