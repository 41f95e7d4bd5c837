#include "app/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace qxw {

MappedFile::~MappedFile() {
  if (data_ != nullptr && read_.empty()) ::munmap(const_cast<uint8_t*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

bool MappedFile::isSameFileAs(const std::string& name) const {
  struct stat info {};
  return identified_ && ::stat(name.c_str(), &info) == 0 && info.st_dev == device_ &&
         info.st_ino == inode_;
}

bool MappedFile::readStandardInput(uint64_t total) {
  if (!identified_ && read_.empty()) {
    struct stat info {};
    if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
      device_ = info.st_dev;
      inode_ = info.st_ino;
      identified_ = true;
    }
  }
  // Memory running out while the input grows ends the run with its one line.
  while (!inputEnded_ && read_.size() < total) {
    const uint64_t wanted = std::min<uint64_t>(total - read_.size(), 1 << 20);
    // Grown by doubling, never past what the caller asked for.
    if (read_.capacity() < read_.size() + wanted) {
      read_.reserve(static_cast<size_t>(std::min<uint64_t>(
          total, std::max<uint64_t>(2 * read_.capacity(), read_.size() + wanted))));
    }
    const size_t at = read_.size();
    read_.resize(at + static_cast<size_t>(wanted));
    const ssize_t got = ::read(STDIN_FILENO, read_.data() + at, static_cast<size_t>(wanted));
    read_.resize(at + static_cast<size_t>(got > 0 ? got : 0));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    inputEnded_ = got == 0;
  }
  data_ = read_.empty() ? nullptr : read_.data();
  size_ = read_.size();
  return true;
}

void MappedFile::keepFirst(uint64_t length) {
  if (read_.size() <= length) return;
  read_.resize(static_cast<size_t>(length));
  size_ = length;
  data_ = read_.empty() ? nullptr : read_.data();
}

bool MappedFile::open(const std::string& name) {
  // Non-blocking, so that a FIFO cannot stall the open; only regular files are accepted.
  fd_ = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size_ = static_cast<uint64_t>(info.st_size);
  device_ = info.st_dev;
  inode_ = info.st_ino;
  identified_ = true;
  if (size_ == 0) return true;
  // Nothing is read in yet: the header is checked first (see populate).
  void* view = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
  if (view == MAP_FAILED) {
    outOfMemory_ = errno == ENOMEM;
    return false;
  }
  data_ = static_cast<const uint8_t*>(view);
  ::madvise(view, size_, MADV_SEQUENTIAL);
  return true;
}

void MappedFile::populate(uint64_t offset, uint64_t length) const {
  if (!read_.empty() || data_ == nullptr || offset >= size_) return;
  length = std::min(length, size_ - offset);
  // Whole pages, from the one that holds offset.
  const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t first = offset / page * page;
  void* at = const_cast<uint8_t*>(data_ + first);
  const size_t span = static_cast<size_t>(offset + length - first);
#ifdef MADV_POPULATE_READ
  if (::madvise(at, span, MADV_POPULATE_READ) == 0) return;
#endif
  // An older kernel reads ahead instead.
  ::madvise(at, span, MADV_WILLNEED);
}

}  // namespace qxw
