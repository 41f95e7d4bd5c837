#include "output/output_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qxw {

namespace {
// The bytes in memory only need a staging area that stays in cache.
constexpr size_t kBufferSize = size_t{1} << 16;
}  // namespace

OutputStream::OutputStream() = default;

OutputStream::~OutputStream() { std::free(block_); }

void OutputStream::createInMallocBlock() {
  inBlock_ = true;
  buffer_.resize(kBufferSize);
}

uint8_t* OutputStream::releaseBlock(size_t& size) {
  uint8_t* block = block_;
  size = blockSize_;
  block_ = nullptr;
  blockSize_ = blockCapacity_ = 0;
  return block;
}

void OutputStream::attachSink(ByteSink& sink) {
  sink_ = &sink;
  buffer_.resize(kBufferSize);
  if (!sink.canSeek()) held_ = inMemory_ = true;
}

void OutputStream::createInMemory(size_t expected) {
  inMemory_ = true;
  memory_.reserve(expected);
  buffer_.resize(kBufferSize);
}

void OutputStream::makeRoom(size_t size) {
  flush();
  // A block larger than the buffer goes through in one piece.
  if (size > buffer_.size()) buffer_.resize(size);
}

void OutputStream::flush() {
  if (inBlock_) {
    const size_t at = static_cast<size_t>(flushed_);
    if (at + used_ > blockCapacity_) {
      const size_t capacity = std::max(at + used_, 2 * blockCapacity_);
      auto* grown = static_cast<uint8_t*>(std::realloc(block_, capacity));
      if (grown == nullptr) throw std::bad_alloc();
      block_ = grown;
      blockCapacity_ = capacity;
    }
    std::memcpy(block_ + at, buffer_.data(), used_);
    blockSize_ = std::max(blockSize_, at + used_);
  } else if (inMemory_) {
    const size_t at = static_cast<size_t>(flushed_);
    if (memory_.size() < at + used_) memory_.resize(at + used_);
    std::copy(buffer_.begin(), buffer_.begin() + static_cast<long>(used_),
              memory_.begin() + static_cast<long>(at));
  } else {
    writeOut(buffer_.data(), used_);
  }
  flushed_ += used_;
  furthest_ = std::max(furthest_, flushed_);
  used_ = 0;
}

void OutputStream::writeOut(const uint8_t* at, size_t left) {
  if (left > 0 && !failed_ && (sink_ == nullptr || !sink_->write(at, left))) failed_ = true;
}

void OutputStream::seekTo(uint64_t offset) {
  flush();
  if (sink_ != nullptr && !held_ && !failed_ && !sink_->seek(offset)) failed_ = true;
  flushed_ = offset;
}

void OutputStream::restart() {
  used_ = 0;
  flushed_ = 0;
  furthest_ = 0;
  memory_.clear();
  blockSize_ = 0;
  if (sink_ != nullptr && !held_ && !failed_ && !sink_->rewind()) failed_ = true;
}

bool OutputStream::close() {
  flush();
  if (held_) {
    writeOut(memory_.data(), memory_.size());
    held_ = false;
  }
  return !failed_;
}

}  // namespace qxw
