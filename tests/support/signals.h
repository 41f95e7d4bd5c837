#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qxw::testing {

// NoisyExtremes swings between the two rails with a little noise: at lower qualities its steps
// overshoot the rails, which is what the encoder's range guard is for.
// ClippedSine and ClippedMusic are driven past the rails and clipped, as loud masters are.
// LoudSquare's jumps are so large that a coarse table offers no level that fits from the middle.
enum class Signal {
  Music,
  Silence,
  FullScaleNoise,
  Square,
  Extremes,
  Single,
  Empty,
  NoisyExtremes,
  ClippedSine,
  ClippedMusic,
  LoudSquare
};

inline const char* signalName(Signal s) {
  const char* names[] = {"music",        "silence",       "noise",      "square",
                         "extremes",     "single",        "empty",      "noisy extremes",
                         "clipped sine", "clipped music", "loud square"};
  return names[static_cast<int>(s)];
}

// Interleaved test signals; deterministic for a given seed.
inline std::vector<int16_t> makeSignal(Signal kind, size_t frames, uint32_t channels,
                                       uint32_t seed = 1) {
  if (kind == Signal::Empty) return {};
  if (kind == Signal::Single) frames = 1;
  std::vector<int16_t> samples;
  uint32_t noise = seed;
  for (size_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double t = static_cast<double>(i);
      double v = 0;
      switch (kind) {
        case Signal::Music:
          v = 6000 * std::sin(0.013 * t * (c + 1)) + 2500 * std::sin(0.171 * t + c) +
              900 * std::sin(0.9 * t) * std::exp(-0.0005 * t) + static_cast<double>(noise >> 25) -
              64;
          break;
        case Signal::Silence:
          v = 0;
          break;
        case Signal::FullScaleNoise:
          v = static_cast<int16_t>(noise >> 16);
          break;
        case Signal::Square:
          v = (i / 50 + c) % 2 ? 12000 : -12000;
          break;
        case Signal::Extremes:
          v = (i + c) % 2 ? 32767 : -32768;
          break;
        case Signal::NoisyExtremes:
          v = ((i + c) % 2 ? 32767.0 : -32768.0) *
              (1.0 - static_cast<double>(noise >> 20) / 8192.0);
          break;
        case Signal::ClippedSine:
          v = 60000 * std::sin(2 * 3.14159265358979 * 100 * t / 44100 + c);
          break;
        case Signal::ClippedMusic:
          v = 4 * (6000 * std::sin(0.013 * t * (c + 1)) + 2500 * std::sin(0.171 * t + c) +
                   900 * std::sin(0.9 * t) + static_cast<double>(noise >> 22) - 512);
          break;
        case Signal::LoudSquare:
          // Alternates every 2 to 16 samples between levels of +-32767 down to +-16767 (both by
          // seed), with noise of +-100.
          v = ((i / (2 + seed % 15)) % 2 ? -1 : 1) * (32767.0 - 1000.0 * (seed / 15 % 17)) +
              static_cast<double>((noise >> 24) % 201) - 100;
          break;
        case Signal::Single:
          v = -1234 + static_cast<double>(c);
          break;
        case Signal::Empty:
          break;
      }
      samples.push_back(static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
    }
  }
  return samples;
}

}  // namespace qxw::testing
