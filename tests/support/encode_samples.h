#pragma once

#include "analysis/encoder_model.h"
#include "encoder/bit_writer.h"
#include "encoder/piece_encoder.h"

namespace qxw {

// Encodes every sample of the range with the model's table, on the calling thread.
inline void encodeSamples(EncoderModel& model, BitWriter& writer, SampleRange samples) {
  encodeSamplesInPieces(model, writer, samples, 1, {});
}

}  // namespace qxw
