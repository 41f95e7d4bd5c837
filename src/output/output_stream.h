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

// The encoder's buffered, seekable output: a byte vector in memory, a block from malloc, or a
// sink (the caller's functions). Failures are remembered rather than reported at once; close()
// tells whether every write, seek and the close itself succeeded.
class OutputStream {
 public:
  OutputStream();
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

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
  // Drops everything written so far and starts again at position 0.
  void restart();
  // Flushes and closes; true when nothing failed.
  bool close();

  // Everything written so far, for an in-memory stream.
  const std::vector<uint8_t>& contents() const { return memory_; }

 private:
  void makeRoom(size_t size);
  void flush();
  void writeOut(const uint8_t* data, size_t size);

  bool inMemory_ = false;
  bool failed_ = false;
  bool held_ = false;      // a sink that cannot seek: everything waits in memory_
  uint64_t furthest_ = 0;  // the end of what was flushed
  ByteSink* sink_ = nullptr;
  size_t used_ = 0;
  uint64_t flushed_ = 0;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> memory_;
  uint8_t* block_ = nullptr;  // malloc mode
  size_t blockSize_ = 0;
  size_t blockCapacity_ = 0;
  bool inBlock_ = false;
};

}  // namespace qxw
