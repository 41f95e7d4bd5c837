#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qxw {

// Where an output stream's bytes go when they go to neither a file nor memory.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // False when the bytes could not be taken.
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // False when the position could not be reached.
  virtual bool seek(uint64_t position) = 0;
  // Drops everything taken and starts again at position 0; false when it cannot.
  virtual bool rewind() = 0;
  virtual bool canSeek() const = 0;
};

// A buffered, seekable output: a file, a byte vector in memory, or a sink. Failures are
// remembered rather than reported at once; close() tells whether every write, seek and the close
// itself succeeded.
class OutputStream {
 public:
  OutputStream();
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Creates or truncates the file; with exclusive, only creates a file that does not exist yet,
  // with the permission bits of mode (under the umask). False when it cannot be created.
  bool create(const std::string& name, bool exclusive = false, unsigned mode = 0666);
  // Writes to an open descriptor, such as standard output; it is not closed at the end.
  void attach(int fd);
  // For output that will be patched (seekTo): a descriptor that cannot seek (a pipe, a FIFO, a
  // socket) then holds everything in memory and receives it whole at close.
  // evenIfSeekable holds any output that is not a regular file, so that its bytes can be looked
  // at before they go out (they cannot be read back from a device).
  void holdUntilClose(bool evenIfSeekable = false);
  // True while everything waits in memory for close; contents() has it after drain().
  bool isHeld() const { return held_; }
  // Drops what is buffered or held: close() then writes nothing more.
  void abandon();
  // Hands the output to a sink; one that cannot seek gets it whole at close.
  void attachSink(ByteSink& sink);
  // Collects the output in memory instead; see contents().
  // expected: the bytes it will likely hold, reserved at once rather than grown into.
  void createInMemory(size_t expected = 0);
  // Collects the output in a block from malloc, which releaseBlock() hands over.
  void createInMallocBlock();
  // The block and its size in bytes; the caller frees it. Only after close().
  uint8_t* releaseBlock(size_t& size);

  void append(const uint8_t* data, size_t size) {
    if (used_ + size > buffer_.size()) makeRoom(size);
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }
  // Room for at least `size` bytes at the end of what is written, to be filled in place and then
  // taken with commit(the end of what was filled); nothing else may touch the stream between.
  uint8_t* reserve(size_t size) {
    if (used_ + size > buffer_.size()) makeRoom(size);
    return buffer_.data() + used_;
  }
  void commit(const uint8_t* end) { used_ = static_cast<size_t>(end - buffer_.data()); }
  uint64_t position() const { return flushed_ + used_; }
  // The bytes written so far, up to the furthest position reached.
  uint64_t size() const { return std::max(furthest_, position()); }
  void seekTo(uint64_t offset);
  // Drops everything written so far and starts again at position 0; an output that cannot go
  // back (a pipe) fails.
  void restart();
  // Writes out everything appended so far; true when nothing failed since create().
  bool drain();
  // Flushes and closes; true when nothing failed since create().
  bool close();

  // Where an attached descriptor stood when attached: position 0 of this stream.
  uint64_t startOffset() const { return base_; }
  // The file's descriptor, or -1 in memory.
  int descriptor() const { return fd_; }
  // Only a regular file may be removed after a failure; never a device such as /dev/full.
  bool isRegularFile() const { return regular_; }
  // Everything written so far, for an in-memory stream.
  const std::vector<uint8_t>& contents() const { return memory_; }

 private:
  class BackgroundWriter;

  void makeRoom(size_t size);
  void flush();
  void writeOut(const uint8_t* data, size_t size);
  void writeBehind();
  // Waits for the buffer the background writer holds; false when its write failed.
  void settle();

  int fd_ = -1;
  bool inMemory_ = false;
  bool failed_ = false;
  bool regular_ = false;
  bool owned_ = true;
  bool appending_ = false;  // an attached descriptor opened for appending
  bool held_ = false;       // a descriptor that cannot seek: everything waits in memory_
  uint64_t base_ = 0;       // where an attached descriptor stood at the start
  uint64_t furthest_ = 0;   // the end of what was flushed
  ByteSink* sink_ = nullptr;
  size_t used_ = 0;
  uint64_t flushed_ = 0;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> spare_;  // being written by writer_ while buffer_ fills
  std::unique_ptr<BackgroundWriter> writer_;
  std::vector<uint8_t> memory_;
  uint8_t* block_ = nullptr;  // malloc mode
  size_t blockSize_ = 0;
  size_t blockCapacity_ = 0;
  bool inBlock_ = false;
};

}  // namespace qxw
