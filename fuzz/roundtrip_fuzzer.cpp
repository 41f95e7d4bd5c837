// Arbitrary bytes as samples: the first byte picks 1 to 6 channels, the second the quality.
// Every quality must decode to the encoder's own reconstruction, and quality 9 to the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "library/compressor.h"
#include "qxw/qxw.h"

namespace {

// The file in memory, with the samples the encoder expects a reader to decode.
struct Recorder : qxw::CompressionListener {
  qxw::OutputStream stream;
  std::vector<int16_t> decoded;
  qxw::OutputStream* output() override { return &stream; }
  std::vector<int16_t>* reconstruction() override { return &decoded; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint32_t channels = 1 + input.byte() % 6;
  const int quality = input.byte() % 10;
  const std::vector<int16_t> samples = input.samples(channels);
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(s));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  Recorder recorder;
  recorder.stream.createInMemory();
  const qxw::SoundFormat format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
  qxw::compress({bytes.data(), bytes.data() + bytes.size()}, format, quality, recorder);
  recorder.stream.close();
  const std::vector<uint8_t>& file = recorder.stream.contents();

  std::vector<int16_t> decoded(samples.size());
  if (qxw_decode(file.data(), file.size(), decoded.data(), decoded.size()) != QXW_OK) {
    __builtin_trap();
  }
  if (decoded != recorder.decoded) __builtin_trap();
  if (quality == 9 && decoded != samples) __builtin_trap();
  return 0;
}
