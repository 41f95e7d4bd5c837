#include "output/bit_writer.h"

namespace qxw {

void BitWriter::writeBytes(const uint8_t* data, size_t size) {
  alignToWord();
  output_.append(data, size);
}

void BitWriter::writeUint32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  writeBytes(bytes, 4);
}

}  // namespace qxw
