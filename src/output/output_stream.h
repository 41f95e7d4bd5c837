#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxw {

// A buffered, seekable output file. Failures are remembered rather than reported at once;
// close() tells whether every write, seek and the close itself succeeded.
class OutputStream {
 public:
  OutputStream() = default;
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Creates or truncates the file. False when it cannot be created.
  bool create(const std::string& name);
  void append(const uint8_t* data, size_t size);
  uint64_t position() const { return flushed_ + buffer_.size(); }
  void seekTo(uint64_t offset);
  // Flushes and closes; true when nothing failed since create().
  bool close();
  // Only a regular file may be removed after a failure; never a device such as /dev/full.
  bool isRegularFile() const { return regular_; }

 private:
  void flush();

  int fd_ = -1;
  bool failed_ = false;
  bool regular_ = false;
  uint64_t flushed_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace qxw
