#pragma once

#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "support/model_helpers.h"
#include "support/output_capture.h"

namespace qxw::testing {

// Runs every pass of a compression, in the program's order, and returns the QXW file bytes.
// The model is left for inspection.
inline std::vector<uint8_t> compressSamples(EncoderModel& model, const std::vector<int16_t>& samples,
                                            uint32_t channels, uint32_t quality,
                                            uint32_t sampleRate = 44100) {
  const auto input = sampleBytes(samples);
  const SampleRange range = rangeOf(input);
  model.initialize(channels);
  model.histogramDeltas(range);
  model.analyzeHistogram(static_cast<uint32_t>(samples.size() / channels));
  model.resetContextStatistics();
  model.gatherContextStatistics(range);
  uint64_t totalBits = 0, runBits = 0, lossless = 0, selected = 0;
  model.generateHuffmanCodes(totalBits);
  model.refineBins(quality, runBits, lossless, selected);
  return capture([&](BitWriter& writer) {
    model.writeMagic(writer);
    model.writeHeader(writer, sampleRate);
    model.encodeSamples(writer, range);
    model.finishFile(writer);
  });
}

}  // namespace qxw::testing
