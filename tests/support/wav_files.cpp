#include "support/wav_files.h"

#include "app/wav_header.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
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
  static std::mt19937_64 random{std::random_device{}()};
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "qxwtest.%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    // Made here and only here: an existing directory of that name is never taken.
    if (std::filesystem::create_directory(base / name)) {
      dir_ = (base / name).generic_string();
      return;
    }
  }
  throw std::runtime_error("no temporary directory could be made");
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Directories made read-only by a test must be writable again before removal.
  for (auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
    if (entry.is_directory(ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, ignored);
    }
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
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

bool makeFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::create_directory(path, error);
}

bool resizeFile(const std::string& path, uint64_t size) {
  std::error_code error;
  std::filesystem::resize_file(path, size, error);
  return !error;
}

}  // namespace qxw::testing
