#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxw::testing {

// A canonical 44-byte-header 16-bit PCM WAV holding the interleaved samples.
std::vector<uint8_t> makeWav(const std::vector<int16_t>& samples, uint32_t channels,
                             uint32_t sampleRate = 44100);

// A fresh directory under the system's temporary directory, removed with its files on exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
// A new folder; true when it was made.
bool makeFolder(const std::string& path);
// Sets the file's length, cutting it or extending it with zeros (a hole where the system can).
bool resizeFile(const std::string& path, uint64_t size);

void put16(std::vector<uint8_t>& out, uint32_t v);
void put32(std::vector<uint8_t>& out, uint32_t v);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t at);

}  // namespace qxw::testing
