#include "app/mapped_file.h"

#include <algorithm>

#include "app/platform.h"

namespace qxw {

MappedFile::~MappedFile() {
  platform::unmapFile(mapping_);
  if (fd_ >= 0) platform::closeFile(fd_);
}

bool MappedFile::isSameFileAs(const std::string& name) const {
  const auto status = platform::statusOf(name);
  return identified_ && status && status->identified && status->identity == identity_;
}

bool MappedFile::readStandardInput(uint64_t total) {
  if (!identified_ && read_.empty()) {
    const auto status = platform::statusOf(platform::kStandardInput);
    if (status && status->identified && status->kind == platform::FileKind::Regular) {
      identity_ = status->identity;
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
    const int64_t got = platform::readSome(platform::kStandardInput, read_.data() + at,
                                           static_cast<size_t>(wanted));
    read_.resize(at + static_cast<size_t>(got > 0 ? got : 0));
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
  // Never blocking on a FIFO; only regular files are accepted.
  fd_ = platform::openForReading(name);
  if (fd_ < 0) return false;
  const auto status = platform::statusOf(fd_);
  if (!status || status->kind != platform::FileKind::Regular) return false;
  size_ = status->size;
  identity_ = status->identity;
  identified_ = status->identified;
  if (size_ == 0) return true;
  // Nothing is read in yet: the header is checked first (see populate).
  if (!platform::mapFile(fd_, size_, mapping_, outOfMemory_)) return false;
  data_ = mapping_.data;
  return true;
}

void MappedFile::populate(uint64_t offset, uint64_t length) const {
  if (!read_.empty() || data_ == nullptr || offset >= size_) return;
  length = std::min(length, size_ - offset);
  platform::prefetch(data_ + offset, static_cast<size_t>(length));
}

}  // namespace qxw
