// Writes the project's sample input: two seconds of a decaying stereo chord with a little
// noise, 16-bit PCM at 22050 Hz. Usage: make_sample_wav out.wav
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/wav_header.h"

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s out.wav\n", argv[0]);
    return 1;
  }
  const uint32_t rate = 22050, channels = 2, frames = 2 * rate;
  const double pi = std::acos(-1.0);
  const double tones[] = {220.0, 277.18, 329.63, 440.0};
  uint32_t noise = 12345;
  std::vector<uint8_t> wav = qxw::makeWaveHeader(frames, channels, rate);
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double envelope = std::exp(-1.5 * t);
    for (uint32_t c = 0; c < channels; ++c) {
      double v = 0;
      for (int k = 0; k < 4; ++k) v += std::sin(2 * pi * tones[k] * t * (1.0 + 0.002 * c) + k);
      noise = noise * 1103515245u + 12345u;
      const double hiss = static_cast<double>((noise >> 16) & 0xFF) - 128.0;
      const long sample = std::lround(6000.0 * envelope * v + hiss);
      put16(wav, static_cast<uint16_t>(static_cast<int16_t>(sample)));
    }
  }
  FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr || std::fwrite(wav.data(), 1, wav.size(), file) != wav.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
