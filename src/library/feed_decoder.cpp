#include "library/feed_decoder.h"

#include <algorithm>

#include "format/byte_order.h"
#include "format/qxw_layout.h"

namespace qxw {

FeedDecoder::FeedDecoder()
    : headerBytes_(std::make_unique<uint8_t[]>(kQxwHeaderSize)),
      header_(std::make_unique<QxwHeader>()) {}

// Gathers the header's bytes, checking the magic as it comes; once the header is whole it is
// checked as that of a file exactly as long as it declares, which the data then must fill.
size_t FeedDecoder::takeHeader(const uint8_t* bytes, size_t n) {
  const size_t used = std::min(n, size_t{kQxwHeaderSize} - headerHave_);
  std::copy_n(bytes, used, headerBytes_.get() + headerHave_);
  const size_t magicBefore = std::min(headerHave_, kQxwMagicSize);
  headerHave_ += used;
  const size_t magicNow = std::min(headerHave_, kQxwMagicSize);
  if (!std::equal(headerBytes_.get() + magicBefore, headerBytes_.get() + magicNow,
                  kQxwMagic + magicBefore)) {
    status_ = Status::NotQxw;
  } else if (headerHave_ == kQxwHeaderSize) {
    const uint64_t declared =
        kQxwHeaderSize + uint64_t{read32(headerBytes_.get() + kDataSizeOffset)};
    status_ = parseQxwHeader(headerBytes_.get(), declared, *header_);
    if (status_ == Status::Ok) samples_ = std::make_unique<SampleDecoder>(*header_);
  }
  return used;
}

Status FeedDecoder::push(const uint8_t* bytes, size_t n, size_t& used) {
  used = 0;
  if (status_ != Status::Ok) return status_;
  if (!samples_) used = takeHeader(bytes, n);
  if (status_ != Status::Ok || !samples_) return status_;
  used += samples_->supply(bytes + used, n - used);
  if (used < n && samples_->complete()) return Status::TrailingData;
  // Every frame is out, yet a staging area of data is left: far more than the last word's padding.
  if (used < n && samples_->framesLeft() == 0) return status_ = Status::Corrupt;
  return Status::Ok;
}

Status FeedDecoder::pull(int16_t* out, size_t maxFrames, size_t& framesRead) {
  framesRead = 0;
  if (status_ != Status::Ok || !samples_) return status_;
  return status_ = samples_->read(out, maxFrames, framesRead);
}

Status FeedDecoder::finish() {
  if (status_ != Status::Ok) return status_;
  if (headerHave_ < kQxwMagicSize) return status_ = Status::NotQxw;
  if (!samples_ || !samples_->complete()) return status_ = Status::Truncated;
  return Status::Ok;
}

}  // namespace qxw
