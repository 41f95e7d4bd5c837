#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "encoder/output_stream.h"

namespace qxw {

// Stores a 32-bit word least significant byte first.
inline void storeWord(uint8_t* at, uint32_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &word, 4);
  } else {
    const uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    std::memcpy(at, bytes, 4);
  }
}

// Loads a 32-bit word stored least significant byte first.
inline uint32_t loadWord(const uint8_t* at) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t word;
    std::memcpy(&word, at, 4);
    return word;
  }
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// The bit register and where its next word goes, as plain values a loop can keep in registers.
// Every put stores the word being filled, complete or not, and moves on only once it is
// complete: no branch on the fill, and `next` must always have four bytes of room.
struct BitCursor {
  uint64_t bits;   // pending bits, right-aligned; only the low `count` are still to go out
  uint32_t count;  // 0..31
  uint8_t* next;

  // value must be below 2^width; width is 0..32.
  [[gnu::always_inline]] void put(uint32_t width, uint32_t value) {
    bits = (bits << width) | value;
    count += width;
    storeWord(next, static_cast<uint32_t>(bits >> ((count - 32) & 63)));
    next += (count >> 5) * 4;
    count &= 31;
  }
  // A field as Fields keeps it: its width in the high half, its value in the low.
  [[gnu::always_inline]] void put(uint64_t field) {
    put(static_cast<uint32_t>(field >> 32), static_cast<uint32_t>(field));
  }
  // Two such fields, in one put when together they fit in 32 bits: the register's chain, a few
  // cycles a put, is then one put for both.
  [[gnu::always_inline]] void putPair(uint64_t first, uint64_t second) {
    const auto width = static_cast<uint32_t>(second >> 32);
    const uint32_t both = static_cast<uint32_t>(first >> 32) + width;
    if (both <= 32) [[likely]] {
      put(both, static_cast<uint32_t>((first & 0xFFFFFFFFu) << width | (second & 0xFFFFFFFFu)));
    } else {
      put(first);
      put(second);
    }
  }
};

// Packs fields most significant bit first into 32-bit words, each written least significant
// byte first, straight into the output's buffer. Between calls the output holds every complete
// word.
class BitWriter {
 public:
  explicit BitWriter(OutputStream& output) : output_(output) {}
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  // value must be below 2^width; width is 0..32.
  void writeBits(int width, uint32_t value) {
    BitCursor cursor = open(1);
    cursor.put(static_cast<uint32_t>(width), value);
    close(cursor);
  }

  // For loops that write many fields: a cursor with room for `words` complete words, to be given
  // back with close() before anything else touches the writer or its output.
  BitCursor open(size_t words) { return {bits_, count_, output_.reserve(4 * words + 4)}; }
  void close(const BitCursor& cursor) {
    bits_ = cursor.bits;
    count_ = cursor.count;
    output_.commit(cursor.next);
  }

  // Appends whole 32-bit words, as stored by storeWord, through the register.
  void writeWords(const uint8_t* words, size_t count);

  // Pads a partial word with zero bits and writes it; writes nothing when empty.
  void alignToWord() {
    if (count_ != 0) writeBits(static_cast<int>(32 - count_), 0);
  }
  void writeBytes(const uint8_t* data, size_t size);
  void writeUint32(uint32_t value);

  OutputStream& output() { return output_; }
  // The output has failed: what is written from now on goes nowhere.
  bool failed() const { return output_.failed(); }
  // The word being filled, its first bit in bit 31, and the number of bits in it (0..31).
  uint32_t accumulator() const {
    return count_ == 0 ? 0 : static_cast<uint32_t>(bits_ << (32 - count_));
  }
  int bitCount() const { return static_cast<int>(count_); }

 private:
  uint64_t bits_ = 0;
  uint32_t count_ = 0;
  OutputStream& output_;
};

// A walk's fields in order, each its width in the high half and its value in the low, to be
// packed into words after the walk, so that the walk's chain and the packing's do not wait on
// each other; a walk that writes nothing keeps none.
template <bool kWrite>
struct Fields {
  uint64_t* next;

  [[gnu::always_inline]] void add(uint32_t width, uint32_t value) {
    if constexpr (kWrite) *next++ = uint64_t{width} << 32 | value;
  }
  // A field made whole already.
  [[gnu::always_inline]] void add(uint64_t field) {
    if constexpr (kWrite) *next++ = field;
  }
};

// Packs the fields [first, last) into the writer; false once its output has failed.
inline bool packFields(BitWriter& writer, const uint64_t* first, const uint64_t* last) {
  BitCursor out = writer.open(static_cast<size_t>(last - first));
  const uint64_t* f = first;
  for (; last - f >= 2; f += 2) out.putPair(f[0], f[1]);
  if (f < last) out.put(*f);
  writer.close(out);
  return !writer.failed();
}

// A piece of the data written apart, in memory, on a thread of its own, to follow the bits
// before it once those are out: its whole words, then its last, partial one. Kept from piece to
// piece, so that its buffer grows once.
class PieceBits {
 public:
  explicit PieceBits(size_t bytes) { stream_.createInMemory(bytes); }

  // Starts the piece afresh, dropping whatever it held: the writer that writes it, until
  // appendTo.
  BitWriter& restart() {
    stream_.restart();
    return writer_.emplace(stream_);
  }
  // Writes the piece afresh with write(BitWriter&).
  template <typename Write>
  void rewrite(Write write) {
    write(restart());
  }

  // The bytes written so far.
  uint64_t size() const { return stream_.size(); }

  void appendTo(BitWriter& writer) {
    const int tailCount = writer_->bitCount();
    const uint32_t tailBits = tailCount == 0 ? 0 : writer_->accumulator() >> (32 - tailCount);
    stream_.close();
    const std::vector<uint8_t>& bytes = stream_.contents();
    writer.writeWords(bytes.data(), bytes.size() / 4);
    writer.writeBits(tailCount, tailBits);
  }

 private:
  OutputStream stream_;
  std::optional<BitWriter> writer_;
};

}  // namespace qxw
