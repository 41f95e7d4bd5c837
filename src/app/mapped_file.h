#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qxw {

// A regular file opened read-only and mapped whole, released in reverse order; or standard input
// read whole into memory.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False when the name cannot be opened as a regular file or mapped. An empty file opens
  // with no view.
  bool open(const std::string& name);
  // Reads standard input to its end. False when it cannot be read.
  bool readStandardInput();

  // After a failed open: the file is there, but there was no memory to map it.
  bool outOfMemory() const { return outOfMemory_; }
  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  // True when name refers to this same file, directly or through a hard or symbolic link.
  bool isSameFileAs(const std::string& name) const;

 private:
  int fd_ = -1;
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool identified_ = false;  // device_ and inode_ name a file
  bool outOfMemory_ = false;
  std::vector<uint8_t> read_;
};

}  // namespace qxw
