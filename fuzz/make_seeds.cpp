// Writes small valid inputs for the three fuzzers: make_seeds <dir> creates <dir>/encoder,
// <dir>/roundtrip and <dir>/decoder.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/wav_header.h"
#include "support/pipeline.h"
#include "support/signals.h"

namespace {

using namespace qxw::testing;

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::vector<uint8_t> waveBytes(const std::vector<int16_t>& samples, uint32_t channels) {
  auto wav = qxw::makeWaveHeader(static_cast<uint32_t>(samples.size() / channels), channels, 8000);
  for (int16_t s : samples) {
    wav.push_back(static_cast<uint8_t>(s));
    wav.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return wav;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const std::string dir = argv[1];
  for (const char* sub : {"", "/encoder", "/roundtrip", "/decoder"}) ::mkdir((dir + sub).c_str(), 0755);
  const Signal kinds[] = {Signal::Music, Signal::Silence, Signal::FullScaleNoise, Signal::Square,
                          Signal::Extremes, Signal::Single, Signal::Empty};
  int n = 0;
  for (Signal kind : kinds) {
    for (uint32_t channels : {1u, 2u, 6u}) {
      const auto samples = makeSignal(kind, 200, channels);
      const uint8_t quality = static_cast<uint8_t>(n % 10);
      const std::string name = "/" + std::to_string(n++);
      auto wav = waveBytes(samples, channels);
      wav.insert(wav.begin(), quality);
      save(dir + "/encoder" + name, wav);
      std::vector<uint8_t> raw{static_cast<uint8_t>(channels - 1), quality};
      for (int16_t s : samples) {
        raw.push_back(static_cast<uint8_t>(s));
        raw.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
      }
      save(dir + "/roundtrip" + name, raw);
      save(dir + "/decoder" + name, compressSamples(samples, channels, quality));
    }
  }
  return 0;
}
