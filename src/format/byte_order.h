#pragma once

#include <cstddef>
#include <cstdint>

#include "qxw/qxw.h"

namespace qxw {

// Every integer and sample of both file formats is little-endian, whatever the machine: the
// public header's readers and writers, under the codec's names.
inline uint32_t read32(const uint8_t* p) { return qxw_read_le32(p); }
inline void write32(uint8_t* p, uint32_t value) { qxw_write_le32(p, value); }
inline int16_t readSample(const uint8_t* at) { return qxw_read_sample(at); }
inline void putSamples(const int16_t* samples, size_t count, uint8_t* bytes) {
  qxw_write_samples(samples, count, bytes);
}

}  // namespace qxw
