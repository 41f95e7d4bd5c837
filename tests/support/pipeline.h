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

// A file aimed at a size, with the reconstruction its encoder kept and what it reported.
struct TargetFile {
  std::vector<uint8_t> file;
  std::vector<int16_t> reconstruction;
  TargetReport report;
  Status status = Status::Ok;
};

// Compresses in memory to bits per sample, searched at effort (0: the nearest choice).
inline TargetFile compressToTarget(const std::vector<int16_t>& samples, uint32_t channels,
                                   double bits, int threads = 1, int effort = 0) {
  struct InMemory : CompressionListener {
    OutputStream stream;
    TargetFile* target = nullptr;
    OutputStream* output() override { return &stream; }
    std::vector<int16_t>* reconstruction() override { return &target->reconstruction; }
    void targetReached(const TargetReport& report) override { target->report = report; }
  } listener;
  TargetFile target;
  listener.target = &target;
  listener.stream.createInMemory();
  const auto input = sampleBytes(samples);
  const SoundFormat format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
  target.status = compressToBits(rangeOf(input), format, bits, listener, threads, effort);
  listener.stream.close();
  target.file = listener.stream.contents();
  return target;
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
