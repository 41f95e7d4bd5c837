#include "output/output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace qxw {

namespace {
// A file takes large writes, yet every page of the buffer costs a fault to touch first; memory
// only needs a staging area that stays in cache.
constexpr size_t kBufferSize = size_t{1} << 18;
constexpr size_t kMemoryBufferSize = size_t{1} << 16;
}

namespace {

// Writes the whole block to the descriptor; false on failure.
bool writeAll(int fd, const uint8_t* at, size_t left) {
  while (left > 0) {
    const ssize_t written = ::write(fd, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

// Writes one full buffer at a time to a file on a thread of its own, while the next one fills:
// the kernel's copy of a large output then overlaps the work that produces it. One block at a
// time, in order, so the file's offset moves as if written in place.
class OutputStream::BackgroundWriter {
 public:
  explicit BackgroundWriter(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~BackgroundWriter() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void submit(const uint8_t* data, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    size_ = size;
    changed_.notify_all();
  }
  // Waits until nothing is being written; false when a write failed.
  bool idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    return !failed_;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return data_ != nullptr || stop_; });
      if (data_ == nullptr) return;
      const uint8_t* data = data_;
      const size_t size = size_;
      lock.unlock();
      const bool written = failed_ || writeAll(fd_, data, size);
      lock.lock();
      failed_ = !written;
      data_ = nullptr;
      changed_.notify_all();
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t* data_ = nullptr;  // the block being written, or null
  size_t size_ = 0;
  bool failed_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

OutputStream::OutputStream() = default;

OutputStream::~OutputStream() {
  writer_.reset();
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

bool OutputStream::create(const std::string& name, bool exclusive, unsigned mode) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  fd_ = ::open(name.c_str(), flags, static_cast<mode_t>(mode));
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

void OutputStream::holdUntilClose(bool evenIfSeekable) {
  if (fd_ < 0) return;
  struct stat info {};
  const bool device = ::fstat(fd_, &info) == 0 && !S_ISREG(info.st_mode);
  if (::lseek(fd_, 0, SEEK_CUR) < 0 || (evenIfSeekable && device)) held_ = inMemory_ = true;
}

void OutputStream::abandon() {
  settle();
  used_ = 0;
  memory_.clear();
}

void OutputStream::createInMemory(size_t expected) {
  inMemory_ = true;
  memory_.reserve(expected);
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
  } else if (sink_ == nullptr && !failed_ && used_ > 0) {
    writeBehind();
  } else {
    writeOut(buffer_.data(), used_);
  }
  flushed_ += used_;
  furthest_ = std::max(furthest_, flushed_);
  used_ = 0;
}

// Hands the buffer to the background writer and goes on with the spare; where no thread can be
// had, writes it here.
void OutputStream::writeBehind() {
  if (!writer_) {
    try {
      writer_ = std::make_unique<BackgroundWriter>(fd_);
      spare_.resize(buffer_.size());
    } catch (const std::system_error&) {
      writeOut(buffer_.data(), used_);
      return;
    }
  }
  if (!writer_->idle()) failed_ = true;
  if (spare_.size() < buffer_.size()) spare_.resize(buffer_.size());
  std::swap(buffer_, spare_);
  writer_->submit(spare_.data(), used_);
}

void OutputStream::settle() {
  if (writer_ && !writer_->idle()) failed_ = true;
}

void OutputStream::writeOut(const uint8_t* at, size_t left) {
  if (sink_ != nullptr) {
    if (left > 0 && !failed_ && !sink_->write(at, left)) failed_ = true;
    return;
  }
  if (!failed_ && !writeAll(fd_, at, left)) failed_ = true;
}

void OutputStream::seekTo(uint64_t offset) {
  flush();
  settle();
  if (sink_ != nullptr && !held_) {
    if (!failed_ && !sink_->seek(offset)) failed_ = true;
  } else if (!inMemory_ && !inBlock_ &&
             (appending_ || ::lseek(fd_, static_cast<off_t>(base_ + offset), SEEK_SET) < 0)) {
    failed_ = true;
  }
  flushed_ = offset;
}

void OutputStream::restart() {
  settle();
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

bool OutputStream::drain() {
  flush();
  settle();
  return !failed_;
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
  settle();
  if (owned_ && ::close(fd_) != 0) failed_ = true;
  fd_ = -1;
  return !failed_;
}

}  // namespace qxw
