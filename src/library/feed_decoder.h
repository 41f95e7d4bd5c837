#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoder/sample_decoder.h"
#include "format/qxw_header.h"
#include "format/status.h"

namespace qxw {

// A decode of a file whose bytes are handed in as they arrive: the header is gathered, then the
// data goes to a fed sample decoder a staging area at a time. Errors are reported with the
// bytes that make them certain and stay; bytes past the file's end are refused but leave its
// frames to be read.
class FeedDecoder {
 public:
  FeedDecoder();

  // Takes bytes until the staging area is full; `used` says how many.
  Status push(const uint8_t* bytes, size_t n, size_t& used);
  // The header, once it is in; null before.
  const QxwHeader* header() const { return samples_ ? header_.get() : nullptr; }
  Status pull(int16_t* out, size_t maxFrames, size_t& framesRead);
  // No more bytes will come: Truncated unless the whole file came.
  Status finish();
  // The error every later call answers, or Ok.
  Status status() const { return status_; }

 private:
  size_t takeHeader(const uint8_t* bytes, size_t n);

  std::unique_ptr<uint8_t[]> headerBytes_;
  std::unique_ptr<QxwHeader> header_;
  std::unique_ptr<SampleDecoder> samples_;
  size_t headerHave_ = 0;
  Status status_ = Status::Ok;  // an error is final
};

}  // namespace qxw
