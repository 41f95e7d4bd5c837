#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/mapped_file.h"

namespace qxw {

struct WaveInfo {
  uint32_t frameCount;
  uint32_t channelCount;
  uint32_t sampleRate;
  uint32_t declaredSize;  // RIFF size + 8, modulo 2^32
  uint64_t dataOffset;    // first sample; past 4 GiB when the "fmt " size is near 2^32
};

// A rate of 1 to QXW_RATE_MAX Hz; else prints "Error: <name> has a sample rate of 0 Hz, which no
// player can use" and returns false. Both programs refuse such a file, as players do.
bool playableRate(const std::string& name, uint32_t sampleRate);

// Opens and maps the WAV file (or reads standard input as far as its header declares, named by
// name in messages), checks its header, its rate and that its samples lie inside it; on any
// failure prints the one error line ("Error openning", a header message, the rate's line,
// "incomplete or truncated", "out of memory") and returns false.
bool openWaveFile(const std::string& name, MappedFile& file, WaveInfo& info,
                  bool fromStandardInput = false);

// The canonical 44-byte header of a 16-bit PCM WAV file: "fmt " at byte 12, "data" right after
// it. Every decoded file gets it.
inline std::vector<uint8_t> makeWaveHeader(uint32_t frameCount, uint32_t channelCount,
                                           uint32_t sampleRate) {
  constexpr uint32_t kSize = 44;
  const uint32_t dataBytes = frameCount * channelCount * 2;
  std::vector<uint8_t> out;
  out.reserve(kSize);
  auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  auto tag = [&out](const char* text) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(text[i]));
  };
  tag("RIFF");
  put(kSize - 8 + dataBytes, 4);
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

// Checks a 16-bit PCM WAV header ("fmt " at byte 12, "data" right after it) in the first
// length bytes at base, never reading past them: the reason it is refused (the line to print),
// or nullptr when it is accepted and info is filled.
const char* checkWaveHeader(const uint8_t* base, uint64_t length, WaveInfo& info);

// The samples must lie inside both the file and the size its header declares; computed in 64
// bits so that no header value can wrap past the test.
bool samplesFitInFile(const WaveInfo& info, uint64_t fileLength);

}  // namespace qxw
