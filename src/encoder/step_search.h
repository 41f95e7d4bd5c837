#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "encoder/target_encoder.h"

namespace qxw {

// A log-step a search settled on: how far its estimate missed the target, in bits, and the
// estimate's slope there (bits per unit of log-step, negative; 0 when unmeasured).
struct LogStepFound {
  double logStep;
  double miss;  // negative before the first trial
  double slope = 0;
};

// Searches the logarithm of the step, between 0 and 16, whose estimate(logStep) in bits comes
// nearest target, from x (firstBits, when not 0, being the estimate at x already made): ends
// within 0.4% or after a few trials. Bits fall as the step grows.
LogStepFound searchLogStep(double target, double x, double samples, double firstBits,
                           const std::function<double(double)>& estimate);

// Fits the model's codes to the counts (which become its context statistics) and returns the
// bits of the whole file they code: header, codes, offsets and run counts.
uint64_t fitCodes(EncoderModel& model, const SymbolCounts& counts, const UniformTable& table,
                  int runWidth);

// The step of the table that brings a sound's file closest to a size: each trial counts the
// symbols of a walk over the whole sound, in fixed blocks of frames that each start from a
// guessed state (so that any number of threads gives the same counts), builds the codes those
// counts call for, and sums the bits.
class StepSearch {
 public:
  // analyzed: a model whose difference histogram holds the sound's; the search fits codes to its
  // trials on a model of its own.
  StepSearch(const EncoderModel& analyzed, SampleRange samples, uint32_t channels,
             unsigned threads);

  // The logarithm of the step find chose.
  double logStep() const { return logStep_; }
  // The largest difference the tables are designed to reach.
  uint32_t largestDifference() const { return largest_; }
  // The step whose estimated file comes nearest bitsPerSample on average, searched on the
  // logarithm of the step between 1 and 2^16 from a first guess made from the difference
  // histogram. The table is returned; counts() has what its walk codes.
  std::unique_ptr<UniformTable> find(double bitsPerSample);
  // The symbols the walk at the step found codes, which the file's codes are fitted to.
  const SymbolCounts& counts() const { return trials_->contextHistogram; }
  // The run-count width find chose: 0 unless the sound's exact repeats pay for the count.
  int runWidth() const { return runWidth_; }
  // The estimated bits of the whole file at the step find chose.
  uint64_t estimatedBits() const { return estimatedBits_; }

 private:
  // The search from log-step x with one kind of table; firstBits, when not 0, is the estimate
  // at x already made.
  LogStepFound search(double target, double x, bool smooth, double firstBits);
  // Estimated bits of the whole file with the table; the counts and their codes go into trials_.
  uint64_t estimateBits(const UniformTable& table, int runWidth);
  // The same at a log-step, remembered, so that the step found need not be walked again.
  uint64_t estimateAt(double logStep, bool smooth, int runWidth);
  double firstGuess(double bitsPerSample) const;
  uint32_t findLargestDifference() const;
  // The width that would count the sound's runs of repeated samples most cheaply, or 0.
  int repeatRunWidth() const;

  const EncoderModel& analyzed_;
  std::unique_ptr<EncoderModel> trials_;  // the counts and codes of the last estimate
  SampleRange samples_;
  uint32_t channels_;
  unsigned threads_;
  int runWidth_ = 0;
  uint32_t largest_ = 0;
  uint64_t estimatedBits_ = 0;
  double logStep_ = 0;
  // The table of the last estimate, whose counts and codes trials_ holds.
  struct Estimated {
    double logStep;
    bool smooth;
    int runWidth;
    uint64_t bits;
  };
  Estimated last_{-1, false, 0, 0};
};

}  // namespace qxw
