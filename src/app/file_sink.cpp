#include "app/file_sink.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "app/platform.h"

namespace qxw {

namespace {

// A file takes large writes, and each block handed over wakes the writer, which takes a core from
// the work while every core is busy; yet every page of a block costs a fault to touch first.
constexpr size_t kBlockSize = size_t{1} << 20;
constexpr size_t kWriterStack = size_t{256} << 10;

}  // namespace

// Writes one full block at a time on a thread of its own, while the next one fills: the
// kernel's copy of a large output then overlaps the work that produces it. One block at a time,
// in order, so the file's offset moves as if written in place. Started with the platform's call,
// which answers with a status where none can be had.
//
// A file that is to replace another can have each block's write-back started as it goes: the
// system then places the blocks while the work goes on, rather than all at once when the
// finished file replaces the older one. A new file's blocks are left to the system: one written
// back early makes its own later replacement cost more.
class FileSink::BackgroundWriter {
 public:
  BackgroundWriter(int fd, bool writeBack) : fd_(fd), writeBack_(writeBack) {}
  ~BackgroundWriter() {
    if (!started_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    ::pthread_join(thread_, nullptr);
  }
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // False when no thread can be had. The thread only hands blocks to the system: a small stack
  // leaves the address space to the blocks.
  bool start() {
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) return false;
    ::pthread_attr_setstacksize(&attributes, kWriterStack);
    started_ = ::pthread_create(
                   &thread_, &attributes,
                   [](void* self) -> void* {
                     static_cast<BackgroundWriter*>(self)->run();
                     return nullptr;
                   },
                   this) == 0;
    ::pthread_attr_destroy(&attributes);
    return started_;
  }
  // The block goes to the descriptor's position, which is `offset` in the file.
  void submit(const uint8_t* data, size_t size, uint64_t offset) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    size_ = size;
    offset_ = offset;
    changed_.notify_all();
  }
  // Waits until nothing is being written; false when the last block written failed.
  bool idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    return written_;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return data_ != nullptr || stop_; });
      if (data_ == nullptr) return;
      const uint8_t* data = data_;
      const size_t size = size_;
      const uint64_t offset = offset_;
      lock.unlock();
      const bool written = platform::writeAll(fd_, data, size);
      if (written && writeBack_) platform::startWriteBack(fd_, offset, size);
      lock.lock();
      written_ = written;
      data_ = nullptr;
      changed_.notify_all();
    }
  }

  const int fd_;
  const bool writeBack_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t* data_ = nullptr;  // the block being written, or null
  size_t size_ = 0;
  uint64_t offset_ = 0;
  bool written_ = true;  // the last block's outcome
  bool stop_ = false;
  bool started_ = false;
  pthread_t thread_{};
};

FileSink::FileSink() = default;

FileSink::~FileSink() {
  writer_.reset();
  if (fd_ >= 0 && owned_) platform::closeFile(fd_);
}

bool FileSink::create(const std::string& name, bool exclusive, unsigned mode) {
  fd_ = platform::openForWriting(name, exclusive, mode);
  if (fd_ < 0) return false;
  buffer_.resize(kBlockSize);
  return true;
}

void FileSink::attach(int fd) {
  fd_ = fd;
  owned_ = false;
  // Positions count from where the descriptor stands, so a file that already holds something
  // keeps it. An appending descriptor cannot go back to patch a field.
  const int64_t start = platform::positionOf(fd);
  base_ = start > 0 ? static_cast<uint64_t>(start) : 0;
  appending_ = platform::isAppending(fd);
  buffer_.resize(kBlockSize);
}

void FileSink::holdUntilClose(bool evenIfSeekable) {
  if (fd_ < 0) return;
  const auto status = platform::statusOf(fd_);
  const bool device = status && status->kind != platform::FileKind::Regular;
  if (platform::positionOf(fd_) < 0 || (evenIfSeekable && device)) held_ = true;
}

void FileSink::makeRoom(size_t size) {
  flush();
  // A block larger than the buffer goes through in one piece.
  if (size > buffer_.size()) buffer_.resize(size);
}

void FileSink::flush() {
  if (held_) {
    const size_t at = static_cast<size_t>(flushed_);
    if (memory_.size() < at + used_) memory_.resize(at + used_);
    std::copy(buffer_.begin(), buffer_.begin() + static_cast<long>(used_),
              memory_.begin() + static_cast<long>(at));
  } else if (!failed_ && used_ > 0) {
    writeBehind();
  }
  flushed_ += used_;
  used_ = 0;
}

// Hands the block to the background writer and goes on with the spare; where no thread can be
// had, writes it here. Nothing more goes out once a block failed.
void FileSink::writeBehind() {
  if (!writer_) {
    writer_ = std::make_unique<BackgroundWriter>(fd_, writeBack_);
    if (!writer_->start()) {
      writer_.reset();
      if (!platform::writeAll(fd_, buffer_.data(), used_)) failed_ = true;
      return;
    }
    spare_.resize(buffer_.size());
  }
  if (!writer_->idle()) {
    failed_ = true;
    return;
  }
  if (spare_.size() < buffer_.size()) spare_.resize(buffer_.size());
  std::swap(buffer_, spare_);
  writer_->submit(spare_.data(), used_, base_ + flushed_);
}

void FileSink::settle() {
  if (writer_ && !writer_->idle()) failed_ = true;
}

void FileSink::seekTo(uint64_t offset) {
  flush();
  settle();
  if (!held_ && (appending_ || !platform::seekTo(fd_, base_ + offset))) {
    failed_ = true;
  }
  flushed_ = offset;
}

void FileSink::restart() {
  settle();
  used_ = 0;
  flushed_ = 0;
  memory_.clear();
  if (held_ || fd_ < 0) return;
  if (appending_ || !platform::seekTo(fd_, base_)) {
    failed_ = true;
    return;
  }
  // A shorter file must not keep the longer one's tail; a device has nothing to cut.
  const auto status = platform::statusOf(fd_);
  if (status && status->kind == platform::FileKind::Regular && !platform::truncateTo(fd_, base_)) {
    failed_ = true;
  }
}

bool FileSink::drain() {
  flush();
  settle();
  return !failed_;
}

void FileSink::abandon() {
  settle();
  used_ = 0;
  flushed_ = 0;
  memory_.clear();
}

bool FileSink::close() {
  if (fd_ < 0) return false;
  flush();
  settle();
  if (held_ && !failed_ && !platform::writeAll(fd_, memory_.data(), memory_.size())) {
    failed_ = true;
  }
  held_ = false;
  if (owned_ && !platform::closeFile(fd_)) failed_ = true;
  fd_ = -1;
  return !failed_;
}

}  // namespace qxw
