// Arbitrary bytes as a WAV file (after one byte that picks the quality): the header checks,
// every pass and the encoded stream, all in memory.
#include <cstddef>
#include <cstdint>

#include "app/wav_header.h"
#include "support/pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t quality = data[0] % 10;
  const uint8_t* wav = data + 1;
  const size_t length = size - 1;
  qxw::WaveInfo info{};
  if (qxw::checkWaveHeader(wav, length, info) != nullptr) return 0;
  if (!qxw::samplesFitInFile(info, length)) return 0;
  const uint8_t* first = wav + info.dataOffset;
  const size_t count = size_t{info.frameCount} * info.channelCount;
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) samples[i] = qxw::readSample(first + 2 * i);
  auto model = std::make_unique<qxw::EncoderModel>();
  const auto file = qxw::testing::compressSamples(*model, samples, info.channelCount, quality);
  if (file.size() < 2200 || file.size() % 4 != 0) __builtin_trap();
  return 0;
}
