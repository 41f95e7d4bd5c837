// Writes small valid inputs for the three fuzzers: make_seeds <dir> creates <dir>/encoder,
// <dir>/roundtrip and <dir>/decoder.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qxw/qxw.h"
#include "support/signals.h"

namespace {

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// Tone, silence, full-scale noise, a square wave, rail-to-rail swings and a single frame.
constexpr qxw::testing::Signal kKinds[] = {
    qxw::testing::Signal::Music,          qxw::testing::Signal::Silence,
    qxw::testing::Signal::FullScaleNoise, qxw::testing::Signal::Square,
    qxw::testing::Signal::Extremes,       qxw::testing::Signal::Single};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const std::string dir = argv[1];
  for (const char* sub : {"", "/encoder", "/roundtrip", "/decoder"})
    ::mkdir((dir + sub).c_str(), 0755);
  int n = 0;
  for (const qxw::testing::Signal kind : kKinds) {
    for (uint32_t channels : {1u, 2u, 6u}) {
      const auto samples = qxw::testing::makeSignal(kind, 200, channels);
      const uint8_t quality = static_cast<uint8_t>(n % 10);
      const std::string name = "/" + std::to_string(n++);
      std::vector<uint8_t> raw{quality, static_cast<uint8_t>(channels - 1)};
      for (int16_t s : samples) {
        raw.push_back(static_cast<uint8_t>(s));
        raw.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
      }
      save(dir + "/encoder" + name, raw);
      std::swap(raw[0], raw[1]);
      save(dir + "/roundtrip" + name, raw);
      const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, 8000};
      void* file = nullptr;
      size_t size = 0;
      if (qxw_encode(samples.data(), &format, quality, 1, &file, &size) != QXW_OK) return 2;
      save(dir + "/decoder" + name,
           {static_cast<uint8_t*>(file), static_cast<uint8_t*>(file) + size});
      qxw_free(file);
    }
  }
  // Music long enough that the decoder hands parts of it to a second thread.
  for (uint32_t channels : {1u, 2u}) {
    const auto samples = qxw::testing::makeSignal(qxw::testing::Signal::Music, 20000, channels);
    const qxw_format format{20000, channels, 44100};
    void* file = nullptr;
    size_t size = 0;
    if (qxw_encode(samples.data(), &format, 9, 1, &file, &size) != QXW_OK) return 2;
    save(dir + "/decoder/long" + std::to_string(channels),
         {static_cast<uint8_t*>(file), static_cast<uint8_t*>(file) + size});
    qxw_free(file);
  }
  return 0;
}
