#pragma once

#include <cstddef>
#include <cstdint>

#include "format/byte_order.h"

namespace qxw {

// Interleaved signed 16-bit little-endian samples, read in place (usually from the mapped
// input). Holds a whole number of frames.
struct SampleRange {
  const uint8_t* begin = nullptr;
  const uint8_t* end = nullptr;

  size_t sampleCount() const { return static_cast<size_t>(end - begin) / 2; }
};

}  // namespace qxw
