#include "app/verify_file.h"

#include <cstring>
#include <memory>
#include <vector>

#include "app/decoding.h"
#include "app/mapped_file.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

// Decodes the whole file, handing each block of samples to take; false when the file cannot be
// read, is not one whole QXW file of count samples, or take refuses a block.
template <typename Take>
bool decodeWritten(const OutputFile::Written& written, uint64_t count, Take take) {
  MappedFile file;
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  if (written.held != nullptr) {
    data = written.held->data();
    size = written.held->size();
  } else {
    if (!file.open(written.path) || file.data() == nullptr || file.size() <= written.offset) {
      return false;
    }
    file.populate(written.offset, file.size() - written.offset);
    data = file.data() + written.offset;
    size = file.size() - written.offset;
  }
  qxw_decoder* opened = nullptr;
  if (size == 0 || qxw_decoder_open(data, size, &opened) != QXW_OK) return false;
  const Decoder decoder(opened);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  if (uint64_t{format.frame_count} * format.channel_count != count) return false;
  return decodeAll(decoder.get(), format.channel_count, take) == QXW_OK;
}

}  // namespace

bool decodesTo(const OutputFile::Written& written, const uint8_t* expected, uint64_t size) {
  std::vector<uint8_t> bytes;
  const uint8_t* next = expected;
  return decodeWritten(written, size / 2, [&](const int16_t* samples, size_t count) {
    bytes.resize(2 * count);
    qxw_write_samples(samples, count, bytes.data());
    const bool same = std::memcmp(bytes.data(), next, 2 * count) == 0;
    next += 2 * count;
    return same;
  });
}

bool decodesToDigest(const OutputFile::Written& written, uint64_t count, uint64_t digest) {
  uint64_t position = 0, sum = 0;
  return decodeWritten(written, count,
                       [&](const int16_t* samples, size_t n) {
                         sum = qxw_digest(sum, samples, n, position);
                         position += n;
                         return true;
                       }) &&
         sum == digest;
}

}  // namespace qxw
