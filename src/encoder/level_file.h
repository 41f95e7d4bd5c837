#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>

#include "analysis/encoder_model.h"
#include "encoder/output_stream.h"
#include "encoder/sample_encoder.h"
#include "format/sound_format.h"

namespace qxw {

// The bin table as the layout left it, before the refinement for a quality.
struct LosslessTable {
  uint32_t base[kBinCount];
  int32_t bits[kBinCount];
  explicit LosslessTable(const EncoderModel& model) {
    std::copy(std::begin(model.binBase), std::end(model.binBase), base);
    std::copy(std::begin(model.binBits), std::end(model.binBits), bits);
  }
  void restore(EncoderModel& model) const {
    std::copy(std::begin(base), std::end(base), model.binBase);
    std::copy(std::begin(bits), std::end(bits), model.binBits);
  }
};

// Writes the whole file at the model's table and codes: magic, header, samples (samplesStart,
// when given, is called before them) and the size patch. Returns the samples lost (see
// encodeSamplesInPieces, which gives up past lostLimit).
uint64_t writeLevelFile(EncoderModel& model, OutputStream& output, SampleRange samples,
                        const SoundFormat& format, unsigned threads, Recording recording,
                        const std::function<void()>& samplesStart = {},
                        uint64_t lostLimit = UINT64_MAX);

// The model's table refined again for another quality, with fresh channel states; the codes stay.
void refineAgain(EncoderModel& model, const LosslessTable& lossless, int quality,
                 uint32_t channels);

// A file that saves nothing must not lose sound: where output holds at least losslessEstimate
// bytes (for a level), or at least half of it (exact: for a size target, which promises never to
// be larger than the lossless file and so counts that file's bytes first), the lossless file
// written from the model's codes replaces output's bytes when it is no larger. True when it did;
// the model is then at quality 9.
bool replaceByLossless(EncoderModel& model, const LosslessTable& lossless,
                       uint64_t losslessEstimate, OutputStream& output, SampleRange samples,
                       const SoundFormat& format, unsigned threads, bool exact);

}  // namespace qxw
