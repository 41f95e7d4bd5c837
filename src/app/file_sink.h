#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qxw {

// Where a program's bytes go: a file or a descriptor, written a staging block at a time on a
// thread of its own while the next block fills, or, for an output that cannot seek (a pipe),
// held in memory and written whole at close. Failures are remembered rather than reported at
// once; close() tells whether every write, seek and the close itself succeeded.
class FileSink {
 public:
  FileSink();
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Creates or truncates the file; with exclusive, only creates a file that does not exist yet,
  // with the permission bits of mode (under the umask). False when it cannot be created.
  bool create(const std::string& name, bool exclusive = false, unsigned mode = 0666);
  // Writes to an open descriptor, such as standard output; it is not closed at the end.
  void attach(int fd);
  // For output that will be patched (seekTo): a descriptor that cannot seek (a pipe, a FIFO, a
  // socket) then holds everything in memory and receives it whole at close. evenIfSeekable holds
  // any output that is not a regular file, so that its bytes can be looked at before they go
  // out (they cannot be read back from a device).
  void holdUntilClose(bool evenIfSeekable = false);
  // Starts each block's write-back to disk as soon as it is written, for a file that is to
  // replace another: the system would otherwise start it all at once when the replacement
  // happens, while the program waits.
  void writeBackAsWritten() { writeBack_ = true; }

  void write(const uint8_t* data, size_t size) {
    std::memcpy(room(size), data, size);
    wrote(size);
  }
  // Room for size more bytes, to be written in place and then kept with wrote(size), before any
  // other call: a caller that makes its bytes there saves copying them.
  uint8_t* room(size_t size) {
    if (used_ + size > buffer_.size()) makeRoom(size);
    return buffer_.data() + used_;
  }
  void wrote(size_t size) { used_ += size; }
  void seekTo(uint64_t offset);
  // Drops everything written so far and starts again at position 0; an output that cannot go
  // back (an appending descriptor) fails.
  void restart();
  // Writes out everything so far (into memory, when held); true when nothing failed.
  bool drain();
  // Drops what is buffered or held: close() then writes nothing more.
  void abandon();
  // Flushes and closes; true when nothing failed since create().
  bool close();

  // A write, seek or restart has failed so far (a background write is known once it ends).
  bool failed() const { return failed_; }
  // True while everything waits in memory for close; held() has it after drain().
  bool isHeld() const { return held_; }
  const std::vector<uint8_t>& held() const { return memory_; }
  // Where an attached descriptor stood when attached: position 0 of this output.
  uint64_t startOffset() const { return base_; }
  // The file's descriptor, or -1.
  int descriptor() const { return fd_; }

 private:
  class BackgroundWriter;

  void makeRoom(size_t size);
  void flush();
  void writeBehind();
  // Waits for the block the background writer holds; remembers a failed write.
  void settle();

  int fd_ = -1;
  bool failed_ = false;
  bool owned_ = true;
  bool appending_ = false;  // an attached descriptor opened for appending
  bool held_ = false;       // a descriptor that cannot seek: everything waits in memory_
  bool writeBack_ = false;  // see writeBackAsWritten
  uint64_t base_ = 0;       // where an attached descriptor stood at the start
  uint64_t flushed_ = 0;
  size_t used_ = 0;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> spare_;  // being written by writer_ while buffer_ fills
  std::unique_ptr<BackgroundWriter> writer_;
  std::vector<uint8_t> memory_;
};

}  // namespace qxw
