#include "encoder/quantizer.h"

#include <algorithm>

#include "format/frame_pieces.h"
#include "format/large_buffer.h"

namespace qxw {

namespace {

// A step's lane word (see StepTable::laneWordsAtZero) for a positive target, or the word that
// says the lanes lack it.
int32_t laneWordOf(const EncoderModel& model, int32_t value, int bin, uint32_t offset) {
  if (value < 0 || value >= (1 << 23) || bin >= kBinCount || model.binShift[bin] < 0 ||
      model.binShift[bin] > 31 ||
      (static_cast<uint32_t>(value) - model.binBase[bin]) >> model.binShift[bin] != offset) {
    return StepTable::kLaneLacks;
  }
  return value * 256 + bin;
}

}  // namespace

StepTable::StepTable(const EncoderModel& model, const BinLookup& binOf, bool laneWords,
                     unsigned threads)
    // Left unset here: every entry is written below.
    : entries_(new Entry[2 * kMaxMagnitude + 1]) {
  if (laneWords) laneWords_.reset(new int32_t[2 * kMaxMagnitude + 1]);
  populateForWriting(entries_.get(), sizeof(Entry) * (2 * kMaxMagnitude + 1));
  if (laneWords) populateForWriting(laneWords_.get(), sizeof(int32_t) * (2 * kMaxMagnitude + 1));
  // A share of the magnitudes a thread: the table comes between two passes that use every core.
  const unsigned shares = std::max(1u, threads);
  onThreads(shares, [&](size_t k) {
    fill(model, binOf, static_cast<int32_t>((kMaxMagnitude + 1) * k / shares),
         static_cast<int32_t>((kMaxMagnitude + 1) * (k + 1) / shares));
  });
}

void StepTable::fill(const EncoderModel& model, const BinLookup& binOf, int32_t from, int32_t to) {
  Entry* zero = entries_.get() + kMaxMagnitude;
  int32_t* words = laneWords_ ? laneWords_.get() + kMaxMagnitude : nullptr;
  for (int32_t m = from; m < to; ++m) {
    int bin = 0;
    uint32_t offset = 0;
    const int32_t value = quantizeWith(model, binOf, m, bin, offset);
    const auto inexact = static_cast<uint8_t>(value != m);
    zero[m] = {static_cast<uint32_t>(value), static_cast<uint16_t>(offset),
               static_cast<uint8_t>(bin), inexact};
    // A negative target quantizes as its magnitude, with the step's sign turned.
    zero[-m] = {0u - static_cast<uint32_t>(value), zero[m].offset, zero[m].bin, inexact};
    if (words == nullptr) continue;
    words[m] = laneWordOf(model, value, bin, zero[m].offset);
    words[-m] = words[m] == kLaneLacks ? kLaneLacks : -value * 256 + bin;
  }
}

QuantizedStep Quantizer::computed(int32_t target) const {
  QuantizedStep step{0, 0, 0};
  step.value = quantize(*model_, target, step.bin, step.offset);
  return step;
}

// The step is an odd, non-decreasing function of the target for the tables the bin layout makes;
// checked once, on the first sample that needs it.
bool RangeGuard::stepGrowsWithTarget() {
  if (monotone_ < 0) {
    monotone_ = 1;
    int32_t previous = 0;
    for (int32_t t = 1; t <= kMaxMagnitude + 1 && monotone_ == 1; ++t) {
      const int32_t step = quantize_(t).value;
      if (step < previous) monotone_ = 0;
      previous = step;
    }
  }
  return monotone_ == 1;
}

QuantizedStep RangeGuard::step(int32_t reconstructed, int32_t target, int32_t errorBefore) {
  const QuantizedStep held = heldStep(reconstructed, target);
  // A step held back this far means the table offers no level that reaches the signal.
  const int32_t after = errorBefore - held.value;
  lost_ += after >= kLostError || after <= -kLostError ? 1 : 0;
  return held;
}

QuantizedStep RangeGuard::heldStep(int32_t reconstructed, int32_t target) {
  QuantizedStep step = quantize_(target);
  const bool tooHigh = reconstructed + step.value >= kGuardHigh;
  if (!tooHigh && reconstructed + step.value >= kGuardLow) return step;
  if (!stepGrowsWithTarget()) {
    while (reconstructed + step.value >= kGuardHigh) step = quantize_(--target);
    while (reconstructed + step.value < kGuardLow) step = quantize_(++target);
    return step;
  }
  // The targets whose steps fit run from 0 to a last one, short of the target: above the range,
  // the last target whose step is below the room left up to its edge; below, by the step's
  // symmetry, the same turned, for the room left down to its edge.
  const int32_t limit = tooHigh ? kGuardHigh - reconstructed : reconstructed - kGuardLow + 1;
  if (limit >= 1 && limit <= kMaxMagnitude + 1) {
    const int32_t last = lastBelow()[limit];
    if (last >= 0) return quantize_(tooHigh ? last : -last);
  }
  // Target 0 gives step 0, which always fits; bisect between it and the target.
  int32_t fits = 0;
  int32_t fails = target;
  while (fits - fails > 1 || fails - fits > 1) {
    const int32_t mid = fits + (fails - fits) / 2;
    const int32_t s = quantize_(mid).value;
    const bool inside = tooHigh ? reconstructed + s < kGuardHigh : reconstructed + s >= kGuardLow;
    (inside ? fits : fails) = mid;
  }
  return quantize_(fits);
}

const int32_t* RangeGuard::lastBelow() {
  if (!lastBelow_) {
    // The steps grow with the target: one pass, each limit from where the one before stopped.
    lastBelow_ = std::make_unique<int32_t[]>(kMaxMagnitude + 2);
    int32_t t = 0;
    for (int32_t limit = 0; limit <= kMaxMagnitude + 1; ++limit) {
      while (t <= kMaxMagnitude && quantize_(t).value < limit) ++t;
      lastBelow_[limit] = t > 0 && t < kMaxMagnitude ? t - 1 : -1;
    }
  }
  return lastBelow_.get();
}

}  // namespace qxw
