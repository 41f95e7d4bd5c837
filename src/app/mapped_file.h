#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/platform.h"

namespace qxw {

// A regular file opened read-only and mapped whole, released in reverse order; or standard input
// read into memory as far as its header declares.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False when the name cannot be opened as a regular file or mapped. An empty file opens
  // with no view.
  bool open(const std::string& name);
  // Reads standard input on until `total` bytes are held or the input ends; called again with a
  // larger total, it goes on where it stopped. False when it cannot be read; memory running
  // out throws, as any allocation does.
  bool readStandardInput(uint64_t total);
  // True once standard input has reached its end.
  bool inputEnded() const { return inputEnded_; }
  // Drops what was read past length.
  void keepFirst(uint64_t length);

  // Reads in the pages of length bytes from offset at once, which costs far less than a fault
  // for each; for the part of the file the run walks, once its header has passed.
  void populate(uint64_t offset, uint64_t length) const;

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
  platform::Mapping mapping_;
  platform::FileIdentity identity_;
  bool identified_ = false;  // identity_ names a file
  bool outOfMemory_ = false;
  bool inputEnded_ = false;
  std::vector<uint8_t> read_;
};

}  // namespace qxw
