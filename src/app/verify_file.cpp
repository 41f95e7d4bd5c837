#include "app/verify_file.h"

#include <cstring>
#include <vector>
#include <memory>

#include "app/mapped_file.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

struct DecoderCloser {
  void operator()(qxw_decoder* decoder) const { qxw_decoder_close(decoder); }
};

}  // namespace

bool decodesTo(const std::string& path, uint64_t offset, const uint8_t* expected, uint64_t size) {
  MappedFile file;
  if (!file.open(path) || file.data() == nullptr || file.size() <= offset) return false;
  qxw_decoder* opened = nullptr;
  if (qxw_decoder_open(file.data() + offset, file.size() - offset, &opened) != QXW_OK) return false;
  const std::unique_ptr<qxw_decoder, DecoderCloser> decoder(opened);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  if (uint64_t{format.frame_count} * format.channel_count * 2 != size) return false;
  constexpr size_t kBlockFrames = 16384;
  std::vector<int16_t> block(kBlockFrames * format.channel_count);
  std::vector<uint8_t> bytes(2 * block.size());
  const uint8_t* next = expected;
  for (;;) {
    size_t frames = 0;
    if (qxw_decoder_read(decoder.get(), block.data(), kBlockFrames, &frames) != QXW_OK) return false;
    if (frames == 0) return next == expected + size;
    const size_t count = frames * format.channel_count;
    for (size_t i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(block[i]);
      bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(block[i]) >> 8);
    }
    if (std::memcmp(bytes.data(), next, 2 * count) != 0) return false;
    next += 2 * count;
  }
}

}  // namespace qxw
