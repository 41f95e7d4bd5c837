#pragma once

#include <cstdint>

#include "analysis/encoder_model.h"
#include "encoder/bit_writer.h"
#include "encoder/sample_encoder.h"

namespace qxw {

// Encodes the samples from the model's channel states on up to `threads` threads, for the bytes
// of one pass: pieces of the input are encoded at once from a guessed state and kept only where
// the exact state meets the guess. Returns the number of coded samples after which the
// reconstruction stood kLostError or more from the input; like the recording, it does not depend
// on the thread count. Past lostLimit lost samples the walk gives up: the count is then more than
// the limit but short, and the bytes and the recording incomplete.
uint64_t encodeSamplesInPieces(EncoderModel& model, BitWriter& writer, SampleRange samples,
                               unsigned threads, Recording recording = {},
                               uint64_t lostLimit = UINT64_MAX);

}  // namespace qxw
