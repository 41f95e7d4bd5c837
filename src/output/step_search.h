#pragma once

#include <cstdint>
#include <memory>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "output/target_encoder.h"

namespace qxw {

// The step of the table that brings a sound's file closest to a size: each trial counts the
// symbols of a walk over the whole sound, in fixed blocks of frames that each start from a
// guessed state (so that any number of threads gives the same counts), builds the codes those
// counts call for, and sums the bits.
class StepSearch {
 public:
  StepSearch(EncoderModel& model, SampleRange samples, uint32_t channels, unsigned threads);

  // The step whose estimated file comes nearest bitsPerSample on average, searched on the
  // logarithm of the step between 1 and 2^16 from a first guess made from the difference
  // histogram. Leaves the model's code tables built for it; the table is returned.
  std::unique_ptr<UniformTable> find(double bitsPerSample);
  // The run-count width find chose: 0 unless the sound's exact repeats pay for the count.
  int runWidth() const { return runWidth_; }
  // The estimated bits of the whole file at the step find chose.
  uint64_t estimatedBits() const { return estimatedBits_; }

 private:
  struct Found {
    double logStep;
    double miss;  // in bits; negative before the first trial
  };
  // The search from log-step x with one kind of table; firstBits, when not 0, is the estimate
  // at x already made.
  Found search(double target, double x, bool smooth, double firstBits);
  // Estimated bits of the whole file with the table; the counts go into the model.
  uint64_t estimateBits(const UniformTable& table, int runWidth);
  // The same at a log-step, remembered, so that the step found need not be walked again.
  uint64_t estimateAt(double logStep, bool smooth, int runWidth);
  double firstGuess(double bitsPerSample) const;
  uint32_t largestDifference() const;
  // The width that would count the sound's runs of repeated samples most cheaply, or 0.
  int repeatRunWidth() const;

  EncoderModel& model_;
  SampleRange samples_;
  uint32_t channels_;
  unsigned threads_;
  int runWidth_ = 0;
  uint32_t largest_ = 0;
  uint64_t estimatedBits_ = 0;
  // The table of the last estimate, whose counts and codes the model holds.
  struct Estimated {
    double logStep;
    bool smooth;
    int runWidth;
    uint64_t bits;
  };
  Estimated last_{-1, false, 0, 0};
};

}  // namespace qxw
