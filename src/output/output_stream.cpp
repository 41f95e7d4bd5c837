#include "output/output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qxw {

namespace {
// A file takes large writes, yet every page of the buffer costs a fault to touch first; memory
// only needs a staging area that stays in cache.
constexpr size_t kBufferSize = size_t{1} << 18;
constexpr size_t kMemoryBufferSize = size_t{1} << 16;
}

OutputStream::~OutputStream() {
  if (fd_ >= 0 && owned_) ::close(fd_);
  std::free(block_);
}

void OutputStream::createInMallocBlock() {
  inBlock_ = true;
  buffer_.resize(kMemoryBufferSize);
}

uint8_t* OutputStream::releaseBlock(size_t& size) {
  uint8_t* block = block_;
  size = blockSize_;
  block_ = nullptr;
  blockSize_ = blockCapacity_ = 0;
  return block;
}

bool OutputStream::create(const std::string& name, bool exclusive) {
  // 0666 under the umask: the permissions any new file gets.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  fd_ = ::open(name.c_str(), flags, 0666);
  if (fd_ < 0) return false;
  struct stat info {};
  regular_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  buffer_.resize(kBufferSize);
  return true;
}

void OutputStream::attach(int fd) {
  fd_ = fd;
  owned_ = false;
  // Positions count from where the descriptor stands, so a file that already holds something
  // keeps it. An appending descriptor cannot go back to patch a field.
  const off_t start = ::lseek(fd, 0, SEEK_CUR);
  base_ = start > 0 ? static_cast<uint64_t>(start) : 0;
  const int flags = ::fcntl(fd, F_GETFL);
  appending_ = flags >= 0 && (flags & O_APPEND) != 0;
  buffer_.resize(kBufferSize);
}

void OutputStream::attachSink(ByteSink& sink) {
  sink_ = &sink;
  buffer_.resize(kMemoryBufferSize);
  if (!sink.canSeek()) held_ = inMemory_ = true;
}

void OutputStream::holdUntilClose() {
  if (fd_ >= 0 && ::lseek(fd_, 0, SEEK_CUR) < 0) held_ = inMemory_ = true;
}

void OutputStream::createInMemory() {
  inMemory_ = true;
  buffer_.resize(kMemoryBufferSize);
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
  if (sink_ != nullptr) {
    if (left > 0 && !failed_ && !sink_->write(at, left)) failed_ = true;
    return;
  }
  while (left > 0 && !failed_) {
    const ssize_t written = ::write(fd_, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_ = true;
      break;
    }
    at += written;
    left -= static_cast<size_t>(written);
  }
}

void OutputStream::seekTo(uint64_t offset) {
  flush();
  if (sink_ != nullptr && !held_) {
    if (!failed_ && !sink_->seek(offset)) failed_ = true;
  } else if (!inMemory_ && !inBlock_ &&
             (appending_ || ::lseek(fd_, static_cast<off_t>(base_ + offset), SEEK_SET) < 0)) {
    failed_ = true;
  }
  flushed_ = offset;
}

void OutputStream::restart() {
  used_ = 0;
  flushed_ = 0;
  furthest_ = 0;
  memory_.clear();
  blockSize_ = 0;
  if (sink_ != nullptr && !held_) {
    if (!failed_ && !sink_->rewind()) failed_ = true;
    return;
  }
  if (inMemory_ || inBlock_ || fd_ < 0) return;
  if (appending_ || ::lseek(fd_, static_cast<off_t>(base_), SEEK_SET) < 0) {
    failed_ = true;
    return;
  }
  // A shorter file must not keep the longer one's tail; a device has nothing to cut.
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) &&
      ::ftruncate(fd_, static_cast<off_t>(base_)) != 0) {
    failed_ = true;
  }
}

bool OutputStream::close() {
  if (held_) {
    flush();
    writeOut(memory_.data(), memory_.size());
    if (fd_ >= 0 && owned_ && ::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    held_ = false;
    return !failed_;
  }
  if (sink_ != nullptr) {
    flush();
    return !failed_;
  }
  if (inMemory_ || inBlock_) {
    flush();
    return true;
  }
  if (fd_ < 0) return false;
  flush();
  if (owned_ && ::close(fd_) != 0) failed_ = true;
  fd_ = -1;
  return !failed_;
}

}  // namespace qxw
