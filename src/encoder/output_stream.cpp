#include "encoder/output_stream.h"

#include <algorithm>
#include <cstdlib>

#include "format/large_buffer.h"

namespace qxw {

namespace {
// The bytes go to memory or to the caller: a staging area that stays in cache is enough.
constexpr size_t kBufferSize = size_t{1} << 16;
}  // namespace

bool MemorySink::write(const uint8_t* data, size_t size) {
  if (bytes_.size() < at_ + size) bytes_.resize(at_ + size);
  std::memcpy(bytes_.data() + at_, data, size);
  at_ += size;
  return true;
}

bool MemorySink::seek(uint64_t position) {
  at_ = static_cast<size_t>(position);
  return true;
}

bool MemorySink::rewind() {
  bytes_.clear();
  at_ = 0;
  return true;
}

MallocSink::~MallocSink() { std::free(block_); }

bool MallocSink::write(const uint8_t* data, size_t size) {
  if (at_ + size > capacity_) {
    const size_t capacity = std::max(at_ + size, 2 * capacity_);
    auto* grown = static_cast<uint8_t*>(std::realloc(block_, capacity));
    if (grown == nullptr) return false;
    block_ = grown;
    capacity_ = capacity;
  }
  std::memcpy(block_ + at_, data, size);
  at_ += size;
  size_ = std::max(size_, at_);
  return true;
}

bool MallocSink::seek(uint64_t position) {
  at_ = static_cast<size_t>(position);
  return true;
}

bool MallocSink::rewind() {
  size_ = at_ = 0;
  return true;
}

uint8_t* MallocSink::release(size_t& size) {
  uint8_t* block = block_;
  size = size_;
  block_ = nullptr;
  size_ = capacity_ = at_ = 0;
  return block;
}

OutputStream::OutputStream() = default;
OutputStream::~OutputStream() = default;

void OutputStream::attachSink(ByteSink& sink) {
  buffer_.resize(kBufferSize);
  if (sink.canSeek()) {
    sink_ = &sink;
    return;
  }
  owned_ = std::make_unique<MemorySink>();
  sink_ = owned_.get();
  held_ = &sink;
}

void OutputStream::createInMemory(size_t expected) {
  inMemory_ = true;
  buffer_.reserve(expected);
}

void OutputStream::createInMallocBlock() {
  owned_ = std::make_unique<MallocSink>();
  sink_ = owned_.get();
  buffer_.resize(kBufferSize);
}

uint8_t* OutputStream::releaseBlock(size_t& size) {
  return static_cast<MallocSink&>(*owned_).release(size);
}

const std::vector<uint8_t>& OutputStream::contents() const {
  return inMemory_ ? buffer_ : static_cast<const MemorySink&>(*owned_).bytes();
}

void OutputStream::makeRoom(size_t size) {
  if (inMemory_) {
    // Grown a little past what is asked: each new byte is zeroed first, which touches its page,
    // so the pages are had at once where they lie within what is reserved.
    const size_t needed = used_ + size;
    const size_t grown = std::max(
        needed, std::min(buffer_.size() + kBufferSize, std::max(buffer_.capacity(), needed)));
    if (grown <= buffer_.capacity()) {
      populateForWriting(buffer_.data() + buffer_.size(), grown - buffer_.size());
    }
    buffer_.resize(grown);
    return;
  }
  flush();
  // A block larger than the buffer goes through in one piece.
  if (size > buffer_.size()) buffer_.resize(size);
}

void OutputStream::flush() {
  if (inMemory_) {
    furthest_ = std::max(furthest_, uint64_t{used_});
    return;
  }
  if (used_ > 0 && !failed_ && (sink_ == nullptr || !sink_->write(buffer_.data(), used_))) {
    failed_ = true;
  }
  flushed_ += used_;
  furthest_ = std::max(furthest_, flushed_);
  used_ = 0;
}

void OutputStream::seekTo(uint64_t offset) {
  flush();
  if (inMemory_) {
    // Past the end, as in a file, the gap reads as zeros; the buffer may hold older bytes there.
    const auto at = static_cast<size_t>(offset);
    if (at > buffer_.size()) buffer_.resize(at);
    if (at > furthest_) std::fill(buffer_.begin() + furthest_, buffer_.begin() + at, 0);
    used_ = at;
    return;
  }
  if (!failed_ && !sink_->seek(offset)) failed_ = true;
  flushed_ = offset;
}

void OutputStream::restart() {
  used_ = 0;
  flushed_ = 0;
  furthest_ = 0;
  if (!failed_ && sink_ != nullptr && !sink_->rewind()) failed_ = true;
}

bool OutputStream::close() {
  flush();
  if (inMemory_) buffer_.resize(static_cast<size_t>(furthest_));
  if (held_ != nullptr) {
    const std::vector<uint8_t>& bytes = contents();
    if (!failed_ && !bytes.empty() && !held_->write(bytes.data(), bytes.size())) failed_ = true;
    held_ = nullptr;
  }
  return !failed_;
}

}  // namespace qxw
