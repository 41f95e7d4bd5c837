#include "encoder/bit_writer.h"

#include <algorithm>

namespace qxw {

void BitWriter::writeWords(const uint8_t* words, size_t count) {
  if (count_ == 0 || count == 0) {
    output_.append(words, 4 * count);
    return;
  }
  // Each word goes out shifted past the pending bits: the tail of the word before, then the head
  // of its own. No word waits on the one before, so the loop runs in vector lanes.
  const uint32_t pending = count_;
  constexpr size_t kBatch = 4096;
  uint32_t before = static_cast<uint32_t>(bits_);
  for (size_t done = 0; done < count;) {
    const size_t batch = std::min(kBatch, count - done);
    const uint8_t* in = words + 4 * done;
    uint8_t* out = output_.reserve(4 * batch);
    storeWord(out, before << (32 - pending) | loadWord(in) >> pending);
    for (size_t i = 1; i < batch; ++i) {
      storeWord(out + 4 * i,
                loadWord(in + 4 * (i - 1)) << (32 - pending) | loadWord(in + 4 * i) >> pending);
    }
    before = loadWord(in + 4 * (batch - 1));
    output_.commit(out + 4 * batch);
    done += batch;
  }
  bits_ = before;  // its last `pending` bits are still to go out
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
