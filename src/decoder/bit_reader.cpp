#include "decoder/bit_reader.h"

#include <cstdint>
#include <cstring>

namespace qxw {

namespace {
constexpr size_t kStageBytes = size_t{1} << 15;
}

BitReader::BitReader(const uint8_t* data, size_t size)
    : data_(data),
      size_(size / 4 * 4),
      stage_(new uint8_t[kStageBytes]),
      totalBits_(uint64_t{size / 4} * 32) {
  fill(0);
  register_.next = stage_.get();
}

// Drops the whole words before next, so that the staging area keeps starting on a word, and
// fills up behind what is left.
const uint8_t* BitReader::restage(const uint8_t* next) {
  uint8_t* stage = stage_.get();
  const size_t dropped = static_cast<size_t>(next - stage) / 4 * 4;
  std::memmove(stage, stage + dropped, kStageBytes - dropped);
  stageOffset_ += dropped;
  fill(kStageBytes - dropped);
  return next - dropped;
}

// Converts words into the staging area from `at` on; past the data, zeros.
void BitReader::fill(size_t at) {
  uint8_t* stage = stage_.get();
  for (; at + 4 <= kStageBytes && converted_ < size_; at += 4, converted_ += 4) {
    // Each word's four bytes in reverse order, on a host of either byte order.
    uint32_t word;
    std::memcpy(&word, data_ + converted_, 4);
    word = __builtin_bswap32(word);
    std::memcpy(stage + at, &word, 4);
  }
  std::memset(stage + at, 0, kStageBytes - at);
  limit_ = stage + kStageBytes - kSlack;
}

}  // namespace qxw
