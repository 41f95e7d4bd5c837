// Arbitrary bytes as a QXW file: the header checks and the whole decode.
#include <cstddef>
#include <cstdint>

#include "format/qxw_header.h"
#include "decoder/sample_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qxw::QxwHeader header{};
  if (qxw::parseQxwHeader(data, size, header) != qxw::QxwHeaderStatus::Accepted) return 0;
  // Long silent runs decode legitimately from a few bytes; keep each input quick.
  if (uint64_t{header.frameCount} * header.channelCount > (1u << 22)) return 0;
  uint64_t decoded = 0;
  const auto status = qxw::decodeSamples(header, data + 2200, [&](const uint8_t*, size_t bytes) {
    decoded += bytes;
  });
  if (status == qxw::DecodeStatus::Complete &&
      decoded != uint64_t{header.frameCount} * header.channelCount * 2) {
    __builtin_trap();
  }
  return 0;
}
