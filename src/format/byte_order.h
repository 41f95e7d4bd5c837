#pragma once

#include <cstddef>
#include <cstdint>

namespace qxw {

// Every integer and sample of both file formats is little-endian, whatever the machine.
inline uint32_t read32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void write32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline int16_t readSample(const uint8_t* at) {
  return static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
}

// Samples as 16-bit little-endian bytes.
inline void putSamples(const int16_t* samples, size_t count, uint8_t* bytes) {
  for (size_t i = 0; i < count; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(samples[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
  }
}

}  // namespace qxw
