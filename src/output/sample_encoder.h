#pragma once

#include <cstdint>
#include <vector>

#include "analysis/encoder_model.h"
#include "output/bit_writer.h"

namespace qxw {

// The step a reader will reconstruct for a target difference, with its bin and offset.
// For target 0 the offset is left untouched.
int32_t quantize(const EncoderModel& model, int32_t target, int& bin, uint32_t& offset);

// The share of the accumulated error fed into the next difference.
inline int32_t errorFeedback(int32_t e) {
  if (e <= -8) return (e - 1) >> 2;
  if (e < 0) return e >> 1;
  if (e < 8) return (e + 1) >> 1;
  return (e + 2) >> 2;
}

void writeRunLength(const EncoderModel& model, BitWriter& writer, uint32_t count);

// encodeSamples that also records every sample a reader will reconstruct, interleaved as the
// input; lets tests compare a decoder's output with the encoder's own reconstruction.
void encodeSamplesRecording(EncoderModel& model, BitWriter& writer, SampleRange samples,
                            std::vector<int16_t>& reconstruction);

}  // namespace qxw
