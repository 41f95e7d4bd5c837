#include "decoder/bit_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qxw {

namespace {
constexpr size_t kStageBytes = size_t{1} << 15;

void putWord(const uint8_t* from, uint8_t* to) {
  // The word's four bytes in reverse order, on a host of either byte order.
  uint32_t word;
  std::memcpy(&word, from, 4);
  word = __builtin_bswap32(word);
  std::memcpy(to, &word, 4);
}
}  // namespace

BitReader::BitReader(const uint8_t* data, size_t size) : BitReader(data, size, size, 0) {}

BitReader::BitReader(size_t size, size_t margin) : BitReader(nullptr, size, 0, margin) {}

BitReader::BitReader(const uint8_t* data, size_t size, size_t supplied, size_t margin)
    : data_(data),
      size_(size / 4 * 4),
      fullSize_(size),
      margin_(margin),
      supplied_(supplied),
      stage_(new uint8_t[kStageBytes]),
      totalBits_(uint64_t{size / 4} * 32) {
  fill(0);
  register_.next = stage_.get();
}

// Drops the whole words before next, so that the staging area keeps starting on a word, and
// fills up behind what is left.
bool BitReader::restage(const uint8_t*& next) {
  uint8_t* stage = stage_.get();
  const size_t dropped = static_cast<size_t>(next - stage) / 4 * 4;
  std::memmove(stage, stage + dropped, kStageBytes - dropped);
  stageOffset_ += dropped;
  next -= dropped;
  // What moved down ends in zeros where nothing was staged yet; behind it the area fills again.
  fill(kStageBytes - dropped);
  return complete() || stagedAhead(next) >= margin_;
}

// Converts words of a block into the staging area from `at` on; past what is staged, zeros.
void BitReader::fill(size_t at) {
  uint8_t* stage = stage_.get();
  if (data_ != nullptr) {
    // Counted first, in locals, so that the loop runs in vector lanes.
    const size_t words = std::min(kStageBytes - at, size_ - converted_) / 4;
    const uint8_t* from = data_ + converted_;
    uint8_t* to = stage + at;
    for (size_t i = 0; i < words; ++i) putWord(from + 4 * i, to + 4 * i);
    at += 4 * words;
    converted_ += 4 * words;
  }
  std::memset(stage + at, 0, kStageBytes - at);
  setLimit();
}

// A loop restages once next passes the limit: near the staging area's end, where the slack keeps
// every load inside it, and for a fed reader before the bytes staged run short of the margin.
void BitReader::setLimit() {
  size_t limit = kStageBytes - kSlack;
  if (!complete()) {
    const size_t staged = static_cast<size_t>(converted_ - stageOffset_);
    limit = std::min(limit, staged > margin_ ? staged - margin_ : 0);
  }
  limit_ = stage_.get() + limit;
}

void BitReader::seek(uint64_t bit) {
  const size_t word = static_cast<size_t>(std::min<uint64_t>(bit / 32, size_ / 4));
  stageOffset_ = converted_ = 4 * word;
  fill(0);
  register_ = {0, 0, stage_.get()};
  if (bit % 32 != 0) read(static_cast<int>(bit % 32));
}

size_t BitReader::supply(const uint8_t* bytes, size_t n) {
  n = std::min(n, fullSize_ - supplied_);
  if (n == 0) return 0;
  if (converted_ - stageOffset_ + 4 > kStageBytes) restage(register_.next);
  uint8_t* stage = stage_.get();
  size_t at = static_cast<size_t>(converted_ - stageOffset_);
  size_t used = 0;
  while (used < n && at + 4 <= kStageBytes) {
    const size_t part = supplied_ % 4;
    if (part == 0 && n - used >= 4 && converted_ + 4 <= size_) {
      putWord(bytes + used, stage + at);  // a whole word at once
      used += 4;
      supplied_ += 4;
    } else {
      partWord_[part] = bytes[used++];
      ++supplied_;
      if (part < 3 || converted_ + 4 > size_) continue;
      putWord(partWord_, stage + at);
    }
    at += 4;
    converted_ += 4;
  }
  setLimit();
  return used;
}

}  // namespace qxw
