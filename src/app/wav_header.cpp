#include "app/wav_header.h"

#include <cstring>
#include <string>

#include "app/console.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

constexpr uint64_t kFixedFieldsEnd = 36;
const char* const kDataChunkMissing = "Error parsing Wave file data chunk";

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
  const uint32_t sampleRate = qxw_read_le32(base + 24);
  if (read16(base + 20) != 1) return features;
  if (channels < 1 || channels > QXW_CHANNELS_MAX) return features;
  if (qxw_read_le32(base + 28) != sampleRate * channels * 2) return features;
  if (read16(base + 32) != channels * 2) return features;
  if (read16(base + 34) != 16) return features;

  const uint32_t fmtSize = qxw_read_le32(base + 16);
  const uint64_t dataTag = 20 + uint64_t{fmtSize};
  if (dataTag + 8 > length || !hasTag(base + dataTag, "data")) {
    return kDataChunkMissing;
  }
  info.frameCount = qxw_read_le32(base + dataTag + 4) / (channels * 2);
  info.channelCount = channels;
  info.sampleRate = sampleRate;
  info.declaredSize = qxw_read_le32(base + 4) + 8u;
  info.dataOffset = dataTag + 8;
  return nullptr;
}

bool samplesFitInFile(const WaveInfo& info, uint64_t fileLength) {
  const uint64_t end =
      uint64_t{info.dataOffset} + uint64_t{info.frameCount} * info.channelCount * 2;
  return end <= fileLength && end <= info.declaredSize;
}

namespace {

// What a program writing into a pipe puts where it cannot know the data size yet.
bool isPlaceholderSize(uint32_t dataSize) {
  return dataSize == 0xFFFFFFFFu || dataSize == 0x7FFFF000u;
}

// The most sample bytes a QXW file (and the WAV file it decodes to) can hold.
constexpr uint64_t kMostSampleBytes = 0xFFFFFFFFu - 44;

// Standard input, read only as far as its header declares: the header, then the data its size
// gives. A size that is a placeholder, or larger than what arrives, means "until the end": the
// whole frames that arrived are taken and the run says so.
bool readWaveStream(const std::string& name, MappedFile& file, WaveInfo& info) {
  const auto fail = [&] {
    printError(file.outOfMemory() ? "Error: out of memory" : "Error openning " + name);
    return false;
  };
  static const uint8_t kNothing = 0;
  const auto bytes = [&] { return file.size() > 0 ? file.data() : &kNothing; };
  if (!file.readStandardInput(kFixedFieldsEnd)) return fail();
  // The fixed fields decide everything but the data chunk before more is read.
  const char* reason = checkWaveHeader(bytes(), file.size(), info);
  if (reason == kDataChunkMissing) {
    if (!file.readStandardInput(28 + uint64_t{qxw_read_le32(file.data() + 16)})) return fail();
    reason = checkWaveHeader(bytes(), file.size(), info);
  }
  if (reason != nullptr) {
    printError(reason);
    return false;
  }
  const uint32_t dataSize = qxw_read_le32(file.data() + info.dataOffset - 4);
  const uint32_t blockAlign = info.channelCount * 2;
  const uint64_t declared = isPlaceholderSize(dataSize)
                                ? kMostSampleBytes / blockAlign * blockAlign
                                : uint64_t{dataSize} / blockAlign * blockAlign;
  const uint64_t end = info.dataOffset + declared;
  // One byte more tells whether anything follows.
  if (!file.readStandardInput(end + 1)) return fail();
  const bool more = file.size() > end;
  file.keepFirst(end);
  const uint64_t arrived = (file.size() - info.dataOffset) / blockAlign;
  if (isPlaceholderSize(dataSize) || arrived * blockAlign < declared) {
    info.frameCount = static_cast<uint32_t>(arrived);
    info.declaredSize = static_cast<uint32_t>(info.dataOffset + arrived * blockAlign);
    printError("Warning: the data size was unknown; " + std::to_string(arrived) + " frames read");
  } else if (!samplesFitInFile(info, file.size())) {
    printError("Error: file " + name + " incomplete or truncated");
    return false;
  }
  // Chunks the header declares after the data are not needed; anything past them is news.
  if (more && (isPlaceholderSize(dataSize) || info.declaredSize <= end)) {
    printError("Warning: more bytes follow the WAV data in " + name + "; they are not read");
  }
  return true;
}

}  // namespace

bool playableRate(const std::string& name, uint32_t sampleRate) {
  if (sampleRate >= 1 && sampleRate <= QXW_RATE_MAX) return true;
  printError("Error: " + name + " has a sample rate of " + std::to_string(sampleRate) +
             " Hz, which no player can use");
  return false;
}

bool openWaveFile(const std::string& name, MappedFile& file, WaveInfo& info,
                  bool fromStandardInput) {
  if (fromStandardInput) {
    return readWaveStream(name, file, info) && playableRate(name, info.sampleRate);
  }
  if (!file.open(name)) {
    printError(file.outOfMemory() ? "Error: out of memory" : "Error openning " + name);
    return false;
  }
  // An empty file has no bytes to look at; it is simply not a WAV file.
  static const uint8_t kNothing = 0;
  const uint8_t* bytes = file.data() != nullptr ? file.data() : &kNothing;
  if (const char* problem = checkWaveHeader(bytes, file.size(), info)) {
    printError(problem);
    return false;
  }
  if (!samplesFitInFile(info, file.size())) {
    printError("Error: file " + name + " incomplete or truncated");
    return false;
  }
  if (!playableRate(name, info.sampleRate)) return false;
  file.populate(info.dataOffset, uint64_t{info.frameCount} * info.channelCount * 2);
  return true;
}

}  // namespace qxw
