#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"

namespace qxw {

// One level a reader can decode: its magnitude, and the bin and offset that code it. Bin 0 is
// the zero step.
struct Level {
  uint16_t magnitude;
  uint16_t offset;
  uint8_t bin;
};

// A level with the sign of the difference it answers: the step itself.
struct SignedLevel {
  int32_t step;
  uint16_t offset;
  uint8_t bin;
};

// A bin table designed for a step δ rather than for the histogram: single levels at the
// multiples k·δ (rounded) for k = 1..kSingleLevels (or fewer), then tail bins of 2^w levels spaced
// by the power of two nearest δ (or nearest tailScale·δ), their widths growing until the top
// reaches the file's largest difference with 2δ to spare. A smooth table spaces the first tail bins
// by the power of two below δ and the others by the one above, more of them the nearer δ is to it,
// so that its size follows δ without the jumps where the nearest power changes. Answers, for every
// magnitude, the nearest level and the largest level not above it.
class UniformTable {
 public:
  static constexpr int kSingleLevels = 24;

  // How the table is laid out past its step.
  struct Shape {
    bool smooth = false;
    double tailScale = 1;
    int singleLevels = kSingleLevels;  // 1 to kSingleLevels
  };

  UniformTable(double step, uint32_t largestDifference, Shape shape);
  UniformTable(double step, uint32_t largestDifference)
      : UniformTable(step, largestDifference, Shape{}) {}

  // The table as the file stores it: bases, widths (bin 0: a run-count width of 0) and shifts.
  void applyTo(EncoderModel& model) const;

  // The nearest level to magnitude m, the lower one on a tie.
  const Level& nearest(uint32_t m) const { return nearest_[m]; }
  // The same for a signed difference d, -65535..65535, as nearestSteps()[d], with d's sign: one
  // load, where a walk would otherwise take the magnitude before and the sign after it.
  const SignedLevel* nearestSteps() const { return steps_.get() + kMaxMagnitude; }
  // The largest level at or below m.
  const Level& atMost(uint32_t m) const { return atMost_[m]; }
  int32_t bits(int bin) const { return bits_[bin]; }
  // The offset that codes magnitude m, a level of the bin: from the bin's base, in its spacing.
  uint32_t offsetOf(int bin, uint32_t m) const { return (m - base_[bin]) >> shift_[bin]; }
  uint32_t base(int bin) const { return base_[bin]; }
  int32_t shift(int bin) const { return shift_[bin]; }
  // Bins 1 to singleLevels() hold the single levels k·δ; the tail follows.
  int singleLevels() const { return singles_; }
  // Every level, the zero step first, by growing magnitude.
  const std::vector<Level>& levels() const { return levels_; }

 private:
  void designBins(double step, uint32_t largestDifference, const Shape& shape);
  void indexLevels();

  uint32_t base_[kBinCount] = {};
  int32_t bits_[kBinCount] = {};
  int32_t shift_[kBinCount] = {};
  std::unique_ptr<Level[]> nearest_;
  std::unique_ptr<Level[]> atMost_;
  std::unique_ptr<SignedLevel[]> steps_;
  std::vector<Level> levels_;
  int singles_ = kSingleLevels;
};

}  // namespace qxw
