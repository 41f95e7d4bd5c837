#include "encoder/bit_writer.h"

#include <algorithm>

namespace qxw {

void BitWriter::writeWords(const uint8_t* words, size_t count) {
  if (count_ == 0) {
    output_.append(words, 4 * count);
    return;
  }
  constexpr size_t kBatch = 4096;
  for (size_t done = 0; done < count;) {
    const size_t batch = std::min(kBatch, count - done);
    BitCursor cursor = open(batch);
    for (size_t i = 0; i < batch; ++i, ++done) {
      const uint8_t* at = words + 4 * done;
      cursor.put(32, at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24));
    }
    close(cursor);
  }
}

void BitWriter::writeBytes(const uint8_t* data, size_t size) {
  alignToWord();
  output_.append(data, size);
}

void BitWriter::writeUint32(uint32_t value) {
  uint8_t bytes[4];
  storeWord(bytes, value);
  writeBytes(bytes, 4);
}

}  // namespace qxw
