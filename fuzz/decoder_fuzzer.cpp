// Arbitrary bytes as a QXW file: the header checks and the whole decode, in one piece, streamed,
// fed in pieces and on two threads, which must agree on the status and on every sample.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/sample_decoder.h"
#include "format/qxw_header.h"
#include "qxw/qxw.h"

namespace {

// The bytes fed in pieces of a size the input picks; the first status other than QXW_OK (or
// finish's), with every frame checked against the whole decode.
qxw_status feedInPieces(const uint8_t* data, size_t size, const std::vector<int16_t>& whole) {
  qxw_feed_decoder* decoder = nullptr;
  if (qxw_feed_decoder_open(&decoder) != QXW_OK) __builtin_trap();
  const size_t piece = 1 + data[size - 1] % 251;
  std::vector<int16_t> block(777 * 6);
  size_t at = 0, checked = 0;
  auto pullAll = [&] {
    qxw_format format{};
    qxw_status status = QXW_OK;
    for (size_t frames = 1; frames > 0 && status == QXW_OK;) {
      status = qxw_feed_decoder_pull(decoder, block.data(), 777, &frames);
      if (frames > 0 && qxw_feed_decoder_format(decoder, &format) != QXW_OK) __builtin_trap();
      for (size_t i = 0; i < frames * format.channel_count; ++i) {
        if (checked >= whole.size() || block[i] != whole[checked++]) __builtin_trap();
      }
    }
    return status;
  };
  qxw_status status = QXW_OK;
  while (status == QXW_OK && at < size) {
    size_t used = 0;
    const size_t n = size - at < piece ? size - at : piece;
    status = qxw_feed_decoder_push(decoder, data + at, n, &used);
    at += used;
    if (status == QXW_OK) status = pullAll();
  }
  if (status == QXW_OK) status = qxw_feed_decoder_finish(decoder);
  if (status == QXW_OK) status = pullAll();
  if (status == QXW_OK && checked != whole.size()) __builtin_trap();
  qxw_feed_decoder_close(decoder);
  return status;
}

// The decode with a second thread in rounds of a size the input picks.
qxw_status decodeOnTwoThreads(const uint8_t* data, size_t size, const std::vector<int16_t>& whole) {
  qxw::QxwHeader header{};
  if (qxw::parseQxwHeader(data, size, header) != qxw::Status::Ok) __builtin_trap();
  const size_t round = 256 + size_t{data[size / 2]} * 64;
  qxw::SampleDecoder decoder(header, data + qxw::kQxwHeaderSize, {2, round});
  std::vector<int16_t> block(1000 * header.channelCount);
  size_t checked = 0;
  for (size_t frames = 1; frames > 0;) {
    const qxw::Status status = decoder.read(block.data(), 1000, frames);
    if (status != qxw::Status::Ok) return qxw::toC(status);
    for (size_t i = 0; i < frames * header.channelCount; ++i) {
      if (checked >= whole.size() || block[i] != whole[checked++]) __builtin_trap();
    }
  }
  return QXW_OK;
}

}  // namespace

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
  if (feedInPieces(data, size, whole) != status) __builtin_trap();
  if (decodeOnTwoThreads(data, size, whole) != status) __builtin_trap();
  return 0;
}
