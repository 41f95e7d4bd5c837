#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace qxw {

// Where an output stream's bytes go: memory, or the caller's functions.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes the bytes at the current position; false when they could not be taken.
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // False when the position could not be reached.
  virtual bool seek(uint64_t position) = 0;
  // Drops everything taken and starts again at position 0; false when it cannot.
  virtual bool rewind() = 0;
  virtual bool canSeek() const = 0;
};

// A byte vector; a seek moves where the next bytes go. Memory running out throws, as any
// allocation does.
class MemorySink : public ByteSink {
 public:
  explicit MemorySink(size_t expected = 0) { bytes_.reserve(expected); }
  bool write(const uint8_t* data, size_t size) override;
  bool seek(uint64_t position) override;
  bool rewind() override;
  bool canSeek() const override { return true; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

// A block from malloc, which the caller takes over at the end; a block that cannot grow is a
// failed write.
class MallocSink : public ByteSink {
 public:
  MallocSink() = default;
  ~MallocSink() override;
  MallocSink(const MallocSink&) = delete;
  MallocSink& operator=(const MallocSink&) = delete;
  bool write(const uint8_t* data, size_t size) override;
  bool seek(uint64_t position) override;
  bool rewind() override;
  bool canSeek() const override { return true; }
  // The block and its size in bytes; the caller frees it.
  uint8_t* release(size_t& size);

 private:
  uint8_t* block_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t at_ = 0;
};

// The encoder's buffered, seekable output over one sink. Failures are remembered rather than
// reported at once; close() tells whether every write, seek and rewind succeeded.
class OutputStream {
 public:
  OutputStream();
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Hands the output to the caller's sink; one that cannot seek gets it whole at close.
  void attachSink(ByteSink& sink);
  // Collects the output in memory, written straight into its final place; see contents().
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
  // Flushes, and hands a sink that cannot seek everything at once; true when nothing failed.
  bool close();
  // A write, seek or rewind has failed: nothing more reaches the sink, and a run should stop.
  bool failed() const { return failed_; }

  // Everything written, for a stream in memory, after close.
  const std::vector<uint8_t>& contents() const;

 private:
  void makeRoom(size_t size);
  void flush();

  std::unique_ptr<ByteSink> owned_;  // memory or a malloc block, or what a held sink waits in
  ByteSink* sink_ = nullptr;         // where the buffer goes
  ByteSink* held_ = nullptr;  // a caller's sink that cannot seek: gets owned_'s bytes at close
  bool failed_ = false;
  bool inMemory_ = false;        // buffer_ holds everything written, and is never flushed
  std::vector<uint8_t> buffer_;  // in memory, only the first size() bytes are the stream's
  size_t used_ = 0;
  uint64_t flushed_ = 0;
  uint64_t furthest_ = 0;  // the end of what was flushed
};

}  // namespace qxw
