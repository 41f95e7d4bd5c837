#pragma once

#include <cstdint>

#include "format/qxw_layout.h"
#include "format/status.h"

namespace qxw {

// The fields of the 2200-byte QXW header.
struct QxwHeader {
  uint32_t frameCount;
  uint32_t channelCount;
  uint32_t sampleRate;
  uint32_t dataSize;
  uint32_t binBase[kBinCount];
  int32_t binBits[kBinCount];
  int32_t binShift[kBinCount];
  int32_t codeLength[kContextCount][kSymbolColumns];
};

// Lays out every field but the data size: bytes 0 to kDataSizeOffset - 1 of a file.
void packQxwHeader(const QxwHeader& header, uint8_t (&bytes)[kDataSizeOffset]);

// Reads and checks the header in the first length bytes at base, never reading past them: Ok,
// NotQxw without the magic; Truncated for a file that ends inside the header or before the end
// of the encoded data it declares; TrailingData when bytes follow that end (a complete file is
// exactly the header and the data it declares); InvalidHeader for fields no writer produces
// (channels outside 1..6, bases that decrease, widths that do not fit, code-length rows that are
// not a complete prefix code of lengths 1..32, a sound too long for a WAV file, a data size that is
// not whole words).
Status parseQxwHeader(const uint8_t* base, uint64_t length, QxwHeader& header);

// True when the 63 lengths are each 1..32 and their Kraft sum is exactly 1.
bool isCompletePrefixCode(const int32_t* lengths);

}  // namespace qxw
