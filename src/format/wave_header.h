#pragma once

#include <cstdint>
#include <vector>

#include "format/qxw_layout.h"

namespace qxw {

// The canonical 44-byte header of a 16-bit PCM WAV file: "fmt " at byte 12, "data" right after
// it. Every decoded file gets it.
inline std::vector<uint8_t> makeWaveHeader(uint32_t frameCount, uint32_t channelCount,
                                           uint32_t sampleRate) {
  const uint32_t dataBytes = frameCount * channelCount * 2;
  std::vector<uint8_t> out;
  out.reserve(kWaveHeaderSize);
  auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  auto tag = [&out](const char* text) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(text[i]));
  };
  tag("RIFF");
  put(kWaveHeaderSize - 8 + dataBytes, 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(1, 2);
  put(channelCount, 2);
  put(sampleRate, 4);
  put(sampleRate * channelCount * 2, 4);
  put(channelCount * 2, 2);
  put(16, 2);
  tag("data");
  put(dataBytes, 4);
  return out;
}

}  // namespace qxw
