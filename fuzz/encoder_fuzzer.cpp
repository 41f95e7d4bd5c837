// Arbitrary samples through the C interface: a settings byte (quality or a size target,
// threads), a channel byte, then samples. Every thread count gives the same bytes, the file decodes
// whole and streamed in odd blocks alike, and quality 9 gives the input back.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "qxw/qxw.h"

namespace {

// quality 10 and up stand for size targets of 2 to 8 bits per sample.
std::vector<uint8_t> encode(const std::vector<int16_t>& samples, const qxw_format& format,
                            int quality, int threads) {
  void* data = nullptr;
  size_t size = 0;
  const qxw_status status =
      quality <= 9 ? qxw_encode(samples.data(), &format, quality, threads, &data, &size)
                   : qxw_encode_bits(samples.data(), &format, 2 + (quality - 10) * 0.5, threads,
                                     &data, &size);
  if (status != QXW_OK) __builtin_trap();
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  qxw_free(data);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t settings = input.byte();
  const int quality = settings % 23;  // 0..9 levels, 10..22 targets
  const int threads = settings / 23 % 4;
  const uint32_t channels = 1 + input.byte() % 6;
  const std::vector<int16_t> samples = input.samples(channels);
  const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
  const auto file = encode(samples, format, quality, threads);
  if (threads != 1 && file != encode(samples, format, quality, 1)) __builtin_trap();

  std::vector<int16_t> whole(samples.size());
  if (qxw_decode(file.data(), file.size(), whole.data(), whole.size()) != QXW_OK) __builtin_trap();
  if (quality == 9 && whole != samples) __builtin_trap();
  qxw_decoder* decoder = nullptr;
  if (qxw_decoder_open(file.data(), file.size(), &decoder) != QXW_OK) __builtin_trap();
  std::vector<int16_t> streamed;
  std::vector<int16_t> block(7 * channels);
  size_t frames = 0;
  do {
    if (qxw_decoder_read(decoder, block.data(), 7, &frames) != QXW_OK) __builtin_trap();
    streamed.insert(streamed.end(), block.begin(),
                    block.begin() + static_cast<long>(frames * channels));
  } while (frames > 0);
  qxw_decoder_close(decoder);
  if (streamed != whole) __builtin_trap();
  return 0;
}
