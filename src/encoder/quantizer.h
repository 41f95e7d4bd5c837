#pragma once

#include <cstdint>
#include <memory>

#include "analysis/encoder_model.h"
#include "entropy/bin_lookup.h"

namespace qxw {

// The step a reader will reconstruct for a target difference, with its bin and offset, given
// the function that finds a magnitude's bin. For target 0 the offset is left untouched.
template <typename FindBin>
[[gnu::always_inline]] inline int32_t quantizeWith(const EncoderModel& model, const FindBin& binOf,
                                                   int32_t target, int& bin, uint32_t& offset) {
  if (target == 0) {
    bin = 0;
    return 0;
  }
  const bool negative = target < 0;
  const uint32_t mag =
      negative ? 0u - static_cast<uint32_t>(target) : static_cast<uint32_t>(target);
  int b = binOf(mag);
  if (b == 0) {
    // Zero rule: round to zero or to bin 1's base; an exact tie goes to zero.
    offset = 0;
    if (uint64_t{mag} * 2 <= model.binBase[1]) {
      bin = 0;
      return 0;
    }
    bin = 1;
    const auto value = static_cast<int32_t>(model.binBase[1]);
    return negative ? -value : value;
  }
  // Written with selections rather than branches: which way they go depends on every sample.
  const int shift = model.binShift[b];
  const uint32_t base = model.binBase[b];
  const uint32_t half = (1u << shift) >> 1;
  const uint32_t top = static_cast<uint32_t>((uint64_t{1} << model.binBits[b]) - 1);
  const uint32_t rounded = (mag - base + half) >> shift;
  // At or beyond the top level, the next bin's base wins only when strictly nearer.
  const bool clamped = rounded >= top;
  uint32_t off = clamped ? top : rounded;
  uint32_t value = base + (off << shift);
  const uint32_t nextBase = model.binBase[b < 31 ? b + 1 : b];
  const bool moves =
      clamped && b < 31 && static_cast<int64_t>(mag) - value > int64_t{nextBase} - mag;
  b += moves ? 1 : 0;
  off = moves ? 0 : off;
  value = moves ? nextBase : value;
  bin = b;
  offset = off;
  return negative ? -static_cast<int32_t>(value) : static_cast<int32_t>(value);
}

// quantizeWith the five-comparison bin search.
inline int32_t quantize(const EncoderModel& model, int32_t target, int& bin, uint32_t& offset) {
  return quantizeWith(
      model, [&model](uint32_t mag) { return findBin(model.binBase, mag); }, target, bin, offset);
}

// quantize for every target from -65535 to 65535 at once: the step, bin and offset in one load,
// the sign included, so that a walk's chain does not go through the target's magnitude. Built
// once per bin table; it pays for itself from some tens of thousands of samples on.
class StepTable {
 public:
  struct Entry {
    uint32_t value;  // the step, as two's complement
    uint16_t offset;
    uint8_t bin;
    uint8_t inexact;  // 1 when the step is not the target itself
  };
  // laneWords: whether to build the words for vector lanes too; threads: how many may build it.
  StepTable(const EncoderModel& model, const BinLookup& binOf, bool laneWords = false,
            unsigned threads = 1);
  const Entry& operator[](uint32_t magnitude) const { return atZero()[magnitude]; }
  // The entry of target 0, from which targets down to -65535 index too.
  const Entry* atZero() const { return entries_.get() + kMaxMagnitude; }

  // The same steps in one 32-bit word a target, for vector lanes: the step times 256 plus its
  // bin, the offset being (|step| - binBase[bin]) >> binShift[bin]; kLaneLacks's bin where that
  // does not hold or the step needs more than 24 bits. From target 0, as atZero; null where not
  // built.
  const int32_t* laneWordsAtZero() const {
    return laneWords_ ? laneWords_.get() + kMaxMagnitude : nullptr;
  }
  static constexpr int32_t kLaneLacks = 0xFF;

 private:
  // The entries of the targets from..to-1 and their negatives.
  void fill(const EncoderModel& model, const BinLookup& binOf, int32_t from, int32_t to);

  std::unique_ptr<Entry[]> entries_;
  std::unique_ptr<int32_t[]> laneWords_;
};

// A step a reader will reconstruct, with the bin and offset that code it.
struct QuantizedStep {
  int32_t value;
  int32_t bin;
  uint32_t offset;  // 0 in bin 0
};

// The quantizer of one bin table: from the step table where it has the magnitude, else computed.
// Two pointers, cheap to copy into a loop's locals.
class Quantizer {
 public:
  // steps, when given, answers for magnitudes up to 65535; it must outlive the quantizer.
  Quantizer(const EncoderModel& model, const StepTable* steps)
      : model_(&model), steps_(steps != nullptr ? steps->atZero() : nullptr) {}

  [[gnu::always_inline]] QuantizedStep operator()(int32_t target) const {
    const uint32_t above = static_cast<uint32_t>(target) + kMaxMagnitude;
    if (steps_ != nullptr && above <= 2u * kMaxMagnitude) [[likely]] {
      const StepTable::Entry entry = steps_[target];
      return {static_cast<int32_t>(entry.value), entry.bin, entry.offset};
    }
    return computed(target);
  }

 private:
  QuantizedStep computed(int32_t target) const;

  const EncoderModel* model_;
  const StepTable::Entry* steps_;
};

// The share of the accumulated error fed into the next difference.
// About a half of an error below 8 in magnitude, about a quarter from 8 on; rounded as
// (e - 1) >> 2 for e <= -8, e >> 1 below 0, (e + 1) >> 1 below 8 and (e + 2) >> 2 from 8.
inline int32_t errorFeedback(int32_t e) {
  // In arithmetic rather than selections on the sign, which the compiler turns into branches
  // that the sign of a real signal's error defeats.
  const int32_t sign = e >> 31;  // -1 below 0, else 0
  const int32_t half = (e + 1 + sign) >> 1;
  const int32_t quarter = (e + 2 + 3 * sign) >> 2;
  const int32_t small = -static_cast<int32_t>(static_cast<uint32_t>(e + 7) <= 14u);
  return (half & small) | (quarter & ~small);
}

// The reconstruction stays a 16-bit sample, so a reader never wraps: reconstructed + step lies in
// kGuardLow..kGuardHigh - 1.
inline constexpr int32_t kGuardHigh = 32768;
inline constexpr int32_t kGuardLow = -32768;

// How far a step the range guard held back may leave the reconstruction from the input before it
// counts as lost: a table whose levels cannot reach the signal does that at every jump.
inline constexpr int32_t kLostError = 8192;

// The encoder's range guard: while reconstructed + step reaches 32768 or more, the target gives
// up one unit and is quantized again; then likewise while the sum is below -32768. Where the step
// grows with the target, which is checked once per table, the same target is found by bisection
// instead of up to tens of thousands of single steps.
class RangeGuard {
 public:
  explicit RangeGuard(const Quantizer& quantize) : quantize_(quantize) {}

  // The step for target that keeps the reconstruction a 16-bit sample; errorBefore is the
  // channel's error with the whole target still to take, which tells whether the step is lost.
  QuantizedStep step(int32_t reconstructed, int32_t target, int32_t errorBefore);
  // Samples so far whose step was held back and left the reconstruction kLostError or more from
  // the input.
  uint64_t lostSamples() const { return lost_; }

 private:
  bool stepGrowsWithTarget();
  QuantizedStep heldStep(int32_t reconstructed, int32_t target);

  const int32_t* lastBelow();

  const Quantizer& quantize_;
  int monotone_ = -1;  // 1 when the step never falls as the target grows; -1 until needed
  uint64_t lost_ = 0;
  // For each limit from 1 to 65536, the last target from 0 on whose step is below it, where a
  // target below 65535 is; else -1. Made when first needed.
  std::unique_ptr<int32_t[]> lastBelow_;
};

}  // namespace qxw
