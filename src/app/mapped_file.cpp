#include "app/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

bool MappedFile::readStandardInput() {
  struct stat info {};
  if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
    identified_ = true;
  }
  uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    read_.insert(read_.end(), buffer, buffer + got);
  }
  data_ = read_.empty() ? nullptr : read_.data();
  size_ = read_.size();
  return true;
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
  // Every page is read, some several times: mapping them all at once costs far less than a
  // fault for each.
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* view = ::mmap(nullptr, size_, PROT_READ, flags, fd_, 0);
  if (view == MAP_FAILED) {
    outOfMemory_ = errno == ENOMEM;
    return false;
  }
  data_ = static_cast<const uint8_t*>(view);
  ::madvise(view, size_, MADV_SEQUENTIAL);
  return true;
}

}  // namespace qxw
