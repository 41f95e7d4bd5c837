#include "output/output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qxw {

namespace {
constexpr size_t kBufferSize = size_t{1} << 20;
}

OutputStream::~OutputStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputStream::create(const std::string& name) {
  fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  struct stat info {};
  regular_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  buffer_.reserve(kBufferSize);
  return true;
}

void OutputStream::append(const uint8_t* data, size_t size) {
  if (buffer_.size() + size > kBufferSize) flush();
  buffer_.insert(buffer_.end(), data, data + size);
}

void OutputStream::flush() {
  const uint8_t* at = buffer_.data();
  size_t left = buffer_.size();
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
  flushed_ += buffer_.size();
  buffer_.clear();
}

void OutputStream::seekTo(uint64_t offset) {
  flush();
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) failed_ = true;
  flushed_ = offset;
}

bool OutputStream::close() {
  if (fd_ < 0) return false;
  flush();
  if (::close(fd_) != 0) failed_ = true;
  fd_ = -1;
  return !failed_;
}

}  // namespace qxw
