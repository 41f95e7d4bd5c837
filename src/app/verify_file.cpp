#include "app/verify_file.h"

#include <algorithm>
#include <memory>

#include "app/mapped_file.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

struct DecoderCloser {
  void operator()(qxw_decoder* decoder) const { qxw_decoder_close(decoder); }
};

}  // namespace

bool decodesTo(const std::string& path, uint64_t offset, const std::vector<int16_t>& expected) {
  MappedFile file;
  if (!file.open(path) || file.data() == nullptr || file.size() <= offset) return false;
  qxw_decoder* opened = nullptr;
  if (qxw_decoder_open(file.data() + offset, file.size() - offset, &opened) != QXW_OK) return false;
  const std::unique_ptr<qxw_decoder, DecoderCloser> decoder(opened);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  if (uint64_t{format.frame_count} * format.channel_count != expected.size()) return false;
  constexpr size_t kBlockFrames = 16384;
  std::vector<int16_t> block(kBlockFrames * format.channel_count);
  const int16_t* next = expected.data();
  for (;;) {
    size_t frames = 0;
    if (qxw_decoder_read(decoder.get(), block.data(), kBlockFrames, &frames) != QXW_OK) return false;
    if (frames == 0) return next == expected.data() + expected.size();
    const size_t count = frames * format.channel_count;
    if (!std::equal(block.begin(), block.begin() + static_cast<long>(count), next)) return false;
    next += count;
  }
}

}  // namespace qxw
