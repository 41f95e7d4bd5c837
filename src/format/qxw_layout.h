#pragma once

#include <cstddef>
#include <cstdint>

#include "qxw/qxw.h"

// The QXW file layout, shared by the writer and every reader.
namespace qxw {

// The magic, as bytes.
inline const uint8_t* const kQxwMagic = reinterpret_cast<const uint8_t*>(QXW_MAGIC);
inline constexpr size_t kQxwMagicSize = QXW_MAGIC_SIZE;
inline constexpr uint32_t kFrameCountOffset = 8;
inline constexpr uint32_t kChannelCountOffset = 12;
inline constexpr uint32_t kSampleRateOffset = 16;
inline constexpr uint32_t kBinTableOffset = 20;
inline constexpr uint32_t kCodeLengthOffset = 148;
inline constexpr uint32_t kDataSizeOffset = 2196;
inline constexpr uint32_t kQxwHeaderSize = QXW_HEADER_SIZE;

inline constexpr uint32_t kMaxChannels = QXW_CHANNELS_MAX;
// The canonical WAV header a decoded file gets; a sound must fit a WAV file with it.
inline constexpr uint32_t kWaveHeaderSize = 44;

inline constexpr int kBinCount = 32;
inline constexpr int kContextCount = 32;
// Symbols 0..62; the code-length rows have one more, always zero, column.
inline constexpr int kSymbolCount = 63;
inline constexpr int kSymbolColumns = 64;
inline constexpr int kMaxMagnitude = 65535;
inline constexpr int kMaxCodeLength = 32;

// The symbol of a step in bin `bin`: 0 for the zero step, bin for a step in the direction of the
// channel's previous one, bin + 31 when the direction turns.
inline int symbolOf(int bin, bool turned) { return bin + (bin != 0 && turned ? 31 : 0); }
inline int binOfSymbol(int symbol) { return symbol > 31 ? symbol - 31 : symbol; }
inline bool symbolTurns(int symbol) { return symbol > 31; }

// True when the first `size` bytes could start a QXW file.
inline bool hasQxwMagic(const uint8_t* data, uint64_t size) {
  if (size < sizeof kQxwMagic) return false;
  for (unsigned i = 0; i < sizeof kQxwMagic; ++i) {
    if (data[i] != kQxwMagic[i]) return false;
  }
  return true;
}

}  // namespace qxw
