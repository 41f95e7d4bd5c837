// Arbitrary bytes as a QXW file: the header checks and the whole decode, in one piece and
// streamed, which must agree on the status and on every sample.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxw/qxw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qxw_format format{};
  if (qxw_read_format(data, size, &format) != QXW_OK) return 0;
  // Long silent runs decode legitimately from a few bytes; keep each input quick.
  const uint64_t count = uint64_t{format.frame_count} * format.channel_count;
  if (count > (1u << 22)) return 0;
  std::vector<int16_t> whole(count);
  const qxw_status status = qxw_decode(data, size, whole.data(), whole.size());
  if (status != QXW_OK && status != QXW_CORRUPT) __builtin_trap();

  qxw_decoder* decoder = nullptr;
  if (qxw_decoder_open(data, size, &decoder) != QXW_OK) __builtin_trap();
  std::vector<int16_t> block(1000 * format.channel_count);
  qxw_status streamed = QXW_OK;
  size_t at = 0;
  for (size_t frames = 1; frames > 0 && streamed == QXW_OK;) {
    streamed = qxw_decoder_read(decoder, block.data(), 1000, &frames);
    if (streamed != QXW_OK) break;
    for (size_t i = 0; i < frames * format.channel_count; ++i) {
      if (block[i] != whole[at++]) __builtin_trap();
    }
  }
  qxw_decoder_close(decoder);
  if (streamed != status) __builtin_trap();
  if (status == QXW_OK && at != count) __builtin_trap();
  return 0;
}
