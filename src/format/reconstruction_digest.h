#pragma once

#include <cstdint>

namespace qxw {

// One sample's share of a digest of the sound a reader decodes: the digest is the sum over
// every sample, interleaved as the file holds them, of a mix of its position and value. Parts
// made apart, in any order, add up to the digest of the whole; a changed sample changes it but
// for a chance of 2^-64.
inline uint64_t digestTerm(uint64_t position, int16_t value) {
  uint64_t z = (position << 16 | static_cast<uint16_t>(value)) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace qxw
