#include "support/wav_files.h"

#include "app/wav_header.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qxw::testing {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<uint8_t> makeWav(const std::vector<int16_t>& samples, uint32_t channels,
                             uint32_t sampleRate) {
  auto wav = makeWaveHeader(static_cast<uint32_t>(samples.size() / channels), channels, sampleRate);
  for (int16_t s : samples) put16(wav, static_cast<uint16_t>(s));
  return wav;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qxwtest.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Directories made read-only by a test must be writable again before removal.
  for (auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
    if (entry.is_directory(ignored)) ::chmod(entry.path().c_str(), 0700);
  }
  std::filesystem::remove_all(dir_, ignored);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace qxw::testing
