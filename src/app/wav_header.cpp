#include "app/wav_header.h"

#include <cstring>

#include "app/console.h"

namespace qxw {

namespace {

constexpr uint64_t kFixedFieldsEnd = 36;

uint32_t read32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
bool hasTag(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

}  // namespace

const char* checkWaveHeader(const uint8_t* base, uint64_t length, WaveInfo& info) {
  if (length < kFixedFieldsEnd || !hasTag(base, "RIFF") || !hasTag(base + 8, "WAVE") ||
      !hasTag(base + 12, "fmt ")) {
    return "Not valid Wave file";
  }
  const char* features = "Invalid Wave file features (eg. compressed or 8-bit)";
  const uint32_t channels = read16(base + 22);
  const uint32_t sampleRate = read32(base + 24);
  if (read16(base + 20) != 1) return features;
  if (channels < 1 || channels > 6) return features;
  if (read32(base + 28) != sampleRate * channels * 2) return features;
  if (read16(base + 32) != channels * 2) return features;
  if (read16(base + 34) != 16) return features;

  const uint32_t fmtSize = read32(base + 16);
  const uint64_t dataTag = 20 + uint64_t{fmtSize};
  if (dataTag + 8 > length || !hasTag(base + dataTag, "data")) {
    return "Error parsing Wave file data chunk";
  }
  info.frameCount = read32(base + dataTag + 4) / (channels * 2);
  info.channelCount = channels;
  info.sampleRate = sampleRate;
  info.declaredSize = read32(base + 4) + 8u;
  info.dataOffset = dataTag + 8;
  return nullptr;
}

bool samplesFitInFile(const WaveInfo& info, uint64_t fileLength) {
  const uint64_t end = uint64_t{info.dataOffset} + uint64_t{info.frameCount} * info.channelCount * 2;
  return end <= fileLength && end <= info.declaredSize;
}

bool openWaveFile(const std::string& name, MappedFile& file, WaveInfo& info,
                  bool fromStandardInput) {
  if (!(fromStandardInput ? file.readStandardInput() : file.open(name))) {
    printError(file.outOfMemory() ? "Error: out of memory" : "Error openning " + name);
    return false;
  }
  // Nothing read has no bytes to look at; it is simply not a WAV file.
  static const uint8_t kNothing = 0;
  const uint8_t* bytes = file.data() != nullptr ? file.data() : &kNothing;
  if (parseWaveHeader(bytes, file.size(), info) != kHeaderAccepted) return false;
  if (!samplesFitInFile(info, file.size())) {
    printError("Error: file " + name + " incomplete or truncated");
    return false;
  }
  return true;
}

int parseWaveHeader(const uint8_t* base, uint64_t length, WaveInfo& info) {
  const char* reason = checkWaveHeader(base, length, info);
  if (reason == nullptr) return kHeaderAccepted;
  printError(reason);
  return kHeaderRejected;
}

}  // namespace qxw
