#include "app/verify_file.h"

#include <cstring>
#include <memory>
#include <vector>

#include "app/mapped_file.h"
#include "format/reconstruction_digest.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

struct DecoderCloser {
  void operator()(qxw_decoder* decoder) const { qxw_decoder_close(decoder); }
};

// Decodes the whole file at path from offset, handing each block of samples to take; false when
// the file cannot be read, is not one whole QXW file of count samples, or take refuses a block.
template <typename Take>
bool decodeWritten(const std::string& path, uint64_t offset, uint64_t count, Take take) {
  MappedFile file;
  if (!file.open(path) || file.data() == nullptr || file.size() <= offset) return false;
  qxw_decoder* opened = nullptr;
  if (qxw_decoder_open(file.data() + offset, file.size() - offset, &opened) != QXW_OK) return false;
  const std::unique_ptr<qxw_decoder, DecoderCloser> decoder(opened);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  if (uint64_t{format.frame_count} * format.channel_count != count) return false;
  constexpr size_t kBlockFrames = 16384;
  std::vector<int16_t> block(kBlockFrames * format.channel_count);
  for (;;) {
    size_t frames = 0;
    if (qxw_decoder_read(decoder.get(), block.data(), kBlockFrames, &frames) != QXW_OK) {
      return false;
    }
    if (frames == 0) return true;
    if (!take(block.data(), frames * format.channel_count)) return false;
  }
}

}  // namespace

bool decodesTo(const std::string& path, uint64_t offset, const uint8_t* expected, uint64_t size) {
  std::vector<uint8_t> bytes;
  const uint8_t* next = expected;
  return decodeWritten(path, offset, size / 2, [&](const int16_t* samples, size_t count) {
    bytes.resize(2 * count);
    for (size_t i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(samples[i]);
      bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
    }
    const bool same = std::memcmp(bytes.data(), next, 2 * count) == 0;
    next += 2 * count;
    return same;
  });
}

bool decodesToDigest(const std::string& path, uint64_t offset, uint64_t count, uint64_t digest) {
  uint64_t position = 0, sum = 0;
  return decodeWritten(path, offset, count,
                       [&](const int16_t* samples, size_t n) {
                         for (size_t i = 0; i < n; ++i) sum += digestTerm(position++, samples[i]);
                         return true;
                       }) &&
         sum == digest;
}

}  // namespace qxw
