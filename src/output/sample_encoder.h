#pragma once

#include <cstdint>
#include <vector>

#include "analysis/encoder_model.h"
#include "entropy/bin_lookup.h"
#include "output/bit_writer.h"

namespace qxw {

// The step a reader will reconstruct for a target difference, with its bin and offset, given
// the function that finds a magnitude's bin. For target 0 the offset is left untouched.
template <typename FindBin>
[[gnu::always_inline]] inline int32_t quantizeWith(const EncoderModel& model, const FindBin& binOf, int32_t target, int& bin,
                     uint32_t& offset) {
  if (target == 0) {
    bin = 0;
    return 0;
  }
  const bool negative = target < 0;
  const uint32_t mag = negative ? 0u - static_cast<uint32_t>(target) : static_cast<uint32_t>(target);
  int b = binOf(mag);
  const int shift = model.binShift[b];
  const uint32_t half = (1u << shift) >> 1;
  uint32_t off = (mag - model.binBase[b] + half) >> shift;
  uint32_t value = model.binBase[b] + (off << shift);
  if (b == 0) {
    // Zero rule: round to zero or to bin 1's base; an exact tie goes to zero.
    off = 0;
    if (uint64_t{mag} * 2 <= model.binBase[1]) {
      value = 0;
    } else {
      b = 1;
      value = model.binBase[1];
    }
  } else if (uint64_t{off} + 1 >= (uint64_t{1} << model.binBits[b])) {
    off = (1u << model.binBits[b]) - 1;
    value = model.binBase[b] + (off << shift);
    // Past the bin's top level: the next bin's base wins only when strictly nearer.
    if (b < 31 && static_cast<int64_t>(mag) - value > int64_t{model.binBase[b + 1]} - mag) {
      b += 1;
      off = 0;
      value = model.binBase[b];
    }
  }
  bin = b;
  offset = off;
  return negative ? -static_cast<int32_t>(value) : static_cast<int32_t>(value);
}

// quantizeWith the five-comparison bin search.
inline int32_t quantize(const EncoderModel& model, int32_t target, int& bin, uint32_t& offset) {
  return quantizeWith(
      model, [&model](uint32_t mag) { return findBin(model.binBase, mag); }, target, bin, offset);
}

// The share of the accumulated error fed into the next difference.
inline int32_t errorFeedback(int32_t e) {
  if (e <= -8) return (e - 1) >> 2;
  if (e < 0) return e >> 1;
  if (e < 8) return (e + 1) >> 1;
  return (e + 2) >> 2;
}

inline constexpr int32_t kGuardHigh = 65536;
inline constexpr int32_t kGuardLow = -65536;

// The encoder's range guard: while reconstructed + step reaches 65536 or more, the target gives
// up one unit and is quantized again; then likewise while the sum is below -65536. Where the step
// grows with the target, which is checked once per table, the same target is found by bisection
// instead of up to tens of thousands of single steps.
class RangeGuard {
 public:
  RangeGuard(const EncoderModel& model, const BinLookup& binOf) : model_(model), binOf_(binOf) {}

  // The step for target, with target, bin and offset as finally adjusted.
  int32_t step(int32_t reconstructed, int32_t& target, int& bin, uint32_t& offset);

 private:
  int32_t quantizeTarget(int32_t target, int& bin, uint32_t& offset) const;
  bool stepGrowsWithTarget();

  const EncoderModel& model_;
  const BinLookup& binOf_;
  int monotone_ = -1;  // 1 when the step never falls as the target grows; -1 until needed
};

void writeRunLength(const EncoderModel& model, BitWriter& writer, uint32_t count);

// encodeSamples that also records every sample a reader will reconstruct, interleaved as the
// input; lets tests compare a decoder's output with the encoder's own reconstruction.
void encodeSamplesRecording(EncoderModel& model, BitWriter& writer, SampleRange samples,
                            std::vector<int16_t>& reconstruction);

}  // namespace qxw
