#pragma once

#include <cstdint>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "output/bit_writer.h"

namespace qxw {

// A channel's state in the walk that aims at a size: what a reader holds and what it expects.
struct TargetState {
  int16_t reconstructed = 0;
  uint8_t context = 0;
  bool lastNegative = false;
};

// Symbol counts by context, as the code construction takes them.
using SymbolCounts = uint32_t[kContextCount][kSymbolColumns];

// What a written walk measured: the sums of squared input samples and of squared differences
// between input and reconstruction.
struct TargetQuality {
  long double signal = 0;
  long double noise = 0;
};

// Counts the symbols the walk codes over the frames of samples, every channel starting from the
// given state (left as it ends). Each step takes the whole difference between the input and the
// reconstruction (nothing is held back for later), quantized to the nearest level the table
// offers, or the largest one that keeps the reconstruction inside the 16-bit range.
void countTargetSymbols(const UniformTable& table, SampleRange samples, uint32_t channels,
                        TargetState* states, SymbolCounts& counts);

// The same walk from the start of the sound, written with the model's codes and table; records
// the reconstruction when asked and returns what it measured.
TargetQuality writeTargetSamples(const UniformTable& table, const EncoderModel& model,
                                 BitWriter& writer, SampleRange samples,
                                 int16_t* reconstruction);

}  // namespace qxw
