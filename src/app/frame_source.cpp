#include "app/frame_source.h"

#include "app/platform.h"

namespace qxw {

namespace {
constexpr size_t kInputBytes = size_t{1} << 16;
}

qxw_status FrameSource::openFile(const MappedFile& input) {
  // An empty file has no mapping; it is simply not a QXW file.
  static const uint8_t kNothing = 0;
  const uint8_t* data = input.data() != nullptr ? input.data() : &kNothing;
  qxw_decoder* opened = nullptr;
  qxw_status status = qxw_decoder_open(data, input.size(), &opened);
  if (status == QXW_TRAILING_DATA) {
    uint64_t whole = 0;
    qxw_file_size(data, input.size(), &whole);
    extraBytes_ = input.size() - whole;
    const qxw_status again = qxw_decoder_open(data, whole, &opened);
    if (again != QXW_OK) return again;
  }
  file_.reset(opened);
  if (opened != nullptr) qxw_decoder_format(opened, &format_);
  return status;
}

qxw_status FrameSource::openStream(const MappedFile& start) {
  qxw_feed_decoder* opened = nullptr;
  qxw_status status = qxw_feed_decoder_open(&opened);
  stream_.reset(opened);
  if (status != QXW_OK) return status;
  input_ = std::make_unique<uint8_t[]>(kInputBytes);
  // No more than a header's bytes: all are taken.
  size_t used = 0;
  status = qxw_feed_decoder_push(opened, start.data(), start.size(), &used);
  // The header is whole, or the input ends inside it.
  while (status == QXW_OK && qxw_feed_decoder_format(opened, &format_) != QXW_OK) {
    if (!readInput()) return inputFailed() ? QXW_TRUNCATED : qxw_feed_decoder_finish(opened);
    status = pushInput();
  }
  return status;
}

// Hands the buffered bytes to the fed decoder; what it has no room for waits.
qxw_status FrameSource::pushInput() {
  size_t used = 0;
  const qxw_status status =
      qxw_feed_decoder_push(stream_.get(), input_.get() + inputAt_, inputEnd_ - inputAt_, &used);
  inputAt_ += used;
  if (status != QXW_TRAILING_DATA) return status;
  extraBytes_ = 1;
  inputState_ = InputState::Ended;  // read no further: the rest is not this file
  inputAt_ = inputEnd_ = 0;
  return qxw_feed_decoder_finish(stream_.get());
}

// The next bytes of standard input into the emptied buffer; false at its end or on a failure.
bool FrameSource::readInput() {
  inputAt_ = inputEnd_ = 0;
  while (inputState_ == InputState::Open) {
    if (onStall_ && platform::wouldWait(platform::kStandardInput)) onStall_();
    const int64_t got = platform::readSome(platform::kStandardInput, input_.get(), kInputBytes);
    if (got <= 0) {
      inputState_ = got < 0 ? InputState::Failed : InputState::Ended;
      break;
    }
    inputEnd_ = static_cast<size_t>(got);
    return true;
  }
  return false;
}

qxw_status FrameSource::read(int16_t* samples, size_t maxFrames, size_t& frames) {
  frames = 0;
  if (file_) return qxw_decoder_read(file_.get(), samples, maxFrames, &frames);
  for (;;) {
    qxw_status status = qxw_feed_decoder_pull(stream_.get(), samples, maxFrames, &frames);
    if (status != QXW_OK || frames > 0 || maxFrames == 0) return status;
    if (inputAt_ < inputEnd_ || readInput()) {
      status = pushInput();
    } else if (inputFailed()) {
      return QXW_TRUNCATED;
    } else {
      status = qxw_feed_decoder_finish(stream_.get());
      if (status == QXW_OK) {
        // Once finished, a pull that gives nothing is the end.
        status = qxw_feed_decoder_pull(stream_.get(), samples, maxFrames, &frames);
        return status;
      }
    }
    if (status != QXW_OK) return status;
  }
}

}  // namespace qxw
