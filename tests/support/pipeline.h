#pragma once

#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "decoder/sample_decoder.h"
#include "format/qxw_header.h"
#include "library/compressor.h"
#include "support/model_helpers.h"
#include "support/whole_passes.h"

namespace qxw::testing {

// Compresses in memory through the library's run of the passes and returns the QXW file bytes.
// The model is left for inspection; reconstruction, when given, receives every sample the
// encoder expects a reader to decode.
inline std::vector<uint8_t> compressSamples(EncoderModel& model,
                                            const std::vector<int16_t>& samples, uint32_t channels,
                                            uint32_t quality, uint32_t sampleRate = 44100,
                                            std::vector<int16_t>* reconstruction = nullptr) {
  struct InMemory : CompressionListener {
    OutputStream stream;
    std::vector<int16_t>* recorded = nullptr;
    OutputStream* output() override { return &stream; }
    std::vector<int16_t>* reconstruction() override { return recorded; }
  } listener;
  listener.stream.createInMemory();
  listener.recorded = reconstruction;
  const auto input = sampleBytes(samples);
  const SoundFormat format{static_cast<uint32_t>(samples.size() / channels), channels, sampleRate};
  compress(model, rangeOf(input), format, static_cast<int>(quality), listener);
  listener.stream.close();
  return listener.stream.contents();
}

inline std::vector<uint8_t> compressSamples(const std::vector<int16_t>& samples, uint32_t channels,
                                            uint32_t quality) {
  auto model = std::make_unique<EncoderModel>();
  return compressSamples(*model, samples, channels, quality);
}

struct Decoded {
  Status header = Status::NotQxw;
  Status data = Status::Corrupt;
  std::vector<int16_t> samples;
};

// Reads a whole QXW file held in memory.
inline Decoded decompress(const std::vector<uint8_t>& file) {
  Decoded result;
  QxwHeader header{};
  result.header = parseQxwHeader(file.data(), file.size(), header);
  if (result.header != Status::Ok) return result;
  result.data = decodeSamples(header, file.data() + 2200, [&](const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i + 1 < size; i += 2) {
      result.samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
  });
  return result;
}

}  // namespace qxw::testing
