// Arbitrary bytes as samples: the first byte picks 1 to 6 channels, the second the quality.
// Quality 9 must give back the input exactly; every quality must decode to the encoder's own
// reconstruction.
#include <cstddef>
#include <cstdint>

#include "support/pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t channels = 1 + data[0] % 6;
  const uint32_t quality = data[1] % 10;
  const size_t frames = (size - 2) / 2 / channels;
  std::vector<int16_t> samples(frames * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = qxw::readSample(data + 2 + 2 * i);

  auto model = std::make_unique<qxw::EncoderModel>();
  std::vector<int16_t> reconstruction;
  const auto file =
      qxw::testing::compressSamples(*model, samples, channels, quality, 44100, &reconstruction);
  const auto decoded = qxw::testing::decompress(file);
  if (decoded.header != qxw::QxwHeaderStatus::Accepted) __builtin_trap();
  if (decoded.data != qxw::DecodeStatus::Complete) __builtin_trap();
  if (decoded.samples != reconstruction) __builtin_trap();
  if (quality == 9 && decoded.samples != samples) __builtin_trap();
  return 0;
}
