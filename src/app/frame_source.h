#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/decoding.h"
#include "app/mapped_file.h"
#include "qxw/qxw.h"

namespace qxw {

struct FeedDecoderCloser {
  void operator()(qxw_feed_decoder* decoder) const { qxw_feed_decoder_close(decoder); }
};

// The frames of one QXW file as qxw2wav reads them: from a file mapped whole, or from standard
// input as its bytes arrive, holding no more than a block of them whatever the stream's length.
class FrameSource {
 public:
  // A mapped file (its view must outlive the source). QXW_TRAILING_DATA: opened all the same,
  // without the extraBytes() that follow its data.
  qxw_status openFile(const MappedFile& input);
  // Standard input, of which `start` holds the first bytes as read; the rest is read as the
  // frames are. The header's faults are known here; the data's as the frames are read.
  qxw_status openStream(const MappedFile& start);

  // Called before a read of standard input that would wait: what was decoded so far can go out
  // while the writer of the stream pauses.
  void onStall(std::function<void()> handler) { onStall_ = std::move(handler); }

  const qxw_format& format() const { return format_; }
  // Up to maxFrames frames; 0 at the end.
  qxw_status read(int16_t* samples, size_t maxFrames, size_t& frames);

  // Bytes after the data: known at open for a file, once they arrive for a stream (a count for a
  // file, 1 for a stream, which is read no further).
  uint64_t extraBytes() const { return extraBytes_; }
  bool fromStream() const { return stream_ != nullptr; }
  // Standard input could not be read.
  bool inputFailed() const { return inputState_ == InputState::Failed; }

 private:
  qxw_status pushInput();
  bool readInput();

  Decoder file_;
  std::unique_ptr<qxw_feed_decoder, FeedDecoderCloser> stream_;
  std::unique_ptr<uint8_t[]> input_;  // a stream's bytes read and not yet taken
  size_t inputAt_ = 0;
  size_t inputEnd_ = 0;
  // Standard input's state: read on while Open; Failed is an end that lost bytes.
  enum class InputState { Open, Ended, Failed } inputState_ = InputState::Open;
  uint64_t extraBytes_ = 0;
  qxw_format format_{};
  std::function<void()> onStall_;
};

}  // namespace qxw
