#include "format/qxw_header.h"

#include <cstring>

#include "format/byte_order.h"

namespace qxw {

namespace {

bool binTableFits(const QxwHeader& h) {
  if (h.binBase[0] != 0 || h.binShift[0] != 0 || h.binBits[0] > 32) return false;
  for (int b = 1; b < kBinCount; ++b) {
    // Widths beyond 16 bits would stand for magnitudes no 16-bit difference has.
    if (h.binBits[b] > 16 || h.binShift[b] > 16) return false;
    if (h.binBase[b] < h.binBase[b - 1]) return false;
  }
  return true;
}

}  // namespace

void packQxwHeader(const QxwHeader& h, uint8_t (&bytes)[kDataSizeOffset]) {
  std::memcpy(bytes, kQxwMagic, kQxwMagicSize);
  write32(bytes + kFrameCountOffset, h.frameCount);
  write32(bytes + kChannelCountOffset, h.channelCount);
  write32(bytes + kSampleRateOffset, h.sampleRate);
  for (int b = 0; b < kBinCount; ++b) {
    uint8_t* entry = bytes + kBinTableOffset + 4 * b;
    entry[0] = static_cast<uint8_t>(h.binBits[b]);
    entry[1] = static_cast<uint8_t>(h.binShift[b]);
    entry[2] = static_cast<uint8_t>(h.binBase[b]);
    entry[3] = static_cast<uint8_t>(h.binBase[b] >> 8);
  }
  for (int c = 0; c < kContextCount; ++c) {
    uint8_t* row = bytes + kCodeLengthOffset + kSymbolColumns * c;
    for (int s = 0; s < kSymbolCount; ++s) row[s] = static_cast<uint8_t>(h.codeLength[c][s]);
    row[kSymbolCount] = 0;
  }
}

bool isCompletePrefixCode(const int32_t* lengths) {
  uint64_t kraft = 0;  // in units of 2^-32
  for (int s = 0; s < kSymbolCount; ++s) {
    if (lengths[s] < 1 || lengths[s] > kMaxCodeLength) return false;
    kraft += uint64_t{1} << (kMaxCodeLength - lengths[s]);
  }
  return kraft == uint64_t{1} << kMaxCodeLength;
}

Status parseQxwHeader(const uint8_t* base, uint64_t length, QxwHeader& h) {
  if (!hasQxwMagic(base, length)) return Status::NotQxw;
  if (length < kQxwHeaderSize) return Status::Truncated;
  h.frameCount = read32(base + kFrameCountOffset);
  h.channelCount = read32(base + kChannelCountOffset);
  h.sampleRate = read32(base + kSampleRateOffset);
  h.dataSize = read32(base + kDataSizeOffset);
  for (int b = 0; b < kBinCount; ++b) {
    const uint8_t* entry = base + kBinTableOffset + 4 * b;
    h.binBits[b] = entry[0];
    h.binShift[b] = entry[1];
    h.binBase[b] = entry[2] | (entry[3] << 8);
  }
  bool rowsValid = true;
  for (int c = 0; c < kContextCount; ++c) {
    const uint8_t* row = base + kCodeLengthOffset + kSymbolColumns * c;
    for (int s = 0; s < kSymbolColumns; ++s) h.codeLength[c][s] = row[s];
    rowsValid = rowsValid && row[kSymbolCount] == 0 && isCompletePrefixCode(h.codeLength[c]);
  }
  const uint64_t sampleBytes = uint64_t{h.frameCount} * h.channelCount * 2;
  if (h.channelCount < 1 || h.channelCount > kMaxChannels || !rowsValid || !binTableFits(h) ||
      h.dataSize % 4 != 0 || sampleBytes + kWaveHeaderSize > 0xFFFFFFFFu) {
    return Status::InvalidHeader;
  }
  if (kQxwHeaderSize + uint64_t{h.dataSize} > length) return Status::Truncated;
  if (kQxwHeaderSize + uint64_t{h.dataSize} < length) return Status::TrailingData;
  return Status::Ok;
}

}  // namespace qxw
