#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "encoder/class_search.h"
#include "encoder/step_search.h"

namespace qxw {

// How hard the class search tries: the hypotheses it keeps at each sample.
struct SearchEffort {
  int width;
};

// The effort a level 1 to 3 of /X stands for.
SearchEffort searchEffort(int level);

// The step at which the class search's own reconstruction brings a sound's file nearest a size, and
// that reconstruction. Trials search sampled blocks of frames, each from a guessed state, on as
// many threads as help; the reconstruction written is searched over the whole sound, a channel to a
// thread, so the bytes never depend on the threads.
class ClassStepSearch {
 public:
  // Takes the sound's difference histogram from `analyzed`; fits codes to its trials on a model
  // of its own; reports its progress to meter, if any.
  ClassStepSearch(const EncoderModel& analyzed, SampleRange samples, uint32_t channels,
                  unsigned threads, SearchEffort effort, ProgressMeter* meter = nullptr);

  // Searches from firstLogStep (the log2 of a first guess at the step), on tables reaching
  // largest, with runs counted by runWidth bits. Leaves the search's choices in path (made for
  // the input's channels and frames); returns the table. counts() has what the reconstruction
  // codes, noise() the squared differences between it and the input.
  std::unique_ptr<UniformTable> find(double bitsPerSample, double firstLogStep, uint32_t largest,
                                     int runWidth, SearchedPath& path);
  // The bits of the whole file find's reconstruction makes, header included.
  uint64_t bits() const { return bits_; }
  // The symbols find's reconstruction codes, which its file's codes are fitted to.
  const SymbolCounts& counts() const { return trials_->contextHistogram; }
  uint64_t noise() const { return noise_; }
  // The span of the run's progress find's work fills, on the meter.
  void reportWithin(double from, double to) { span_ = {from, to}; }
  // A later whole pass goes into a second path where a path takes at most this many bytes (12
  // minutes of stereo by default); a longer sound's best pass is searched again instead, where
  // an earlier pass than the last was the best.
  void keepSparePathsUpTo(size_t bytes) { mostSparePathBytes_ = bytes; }

 private:
  // The table the class search uses at a log-step: tail bins spaced near 2δ.
  std::unique_ptr<UniformTable> tableAt(double logStep) const;
  // Blocks the trials search, and the differences they hold, by magnitude.
  struct Draw {
    std::vector<size_t> blocks;
    std::vector<uint64_t> differences;
  };
  // Draws the blocks of both rounds, and counts the differences they and the sound hold.
  void drawBlocks();
  // Estimated bits of the file at a log-step, from the blocks drawn.
  double sampledBits(double logStep, const Draw& draw);
  // Searches the whole sound with the table of the log-step into path; the reconstruction's
  // counts go into counts. Returns its squared error.
  uint64_t searchWhole(const UniformTable& table, double logStep, SearchedPath& path,
                       SymbolCounts& counts) const;
  // The log-step whose sampled estimate comes nearest the target, from a first guess; leaves
  // trials_'s codes fitted to the sampled reconstructions there.
  LogStepFound trials(double target, double firstLogStep, const Draw& draw);
  // Searches the whole sound from the step found, corrected where it lands too far off; the
  // log-step taken, its path and the reconstruction's counts.
  double wholePasses(double target, const LogStepFound& found, SearchedPath& path,
                     SymbolCounts& counts);
  // The class search on the table of the log-step, weighing the rates when there are codes.
  ClassSearch searchFor(const UniformTable& table, double logStep) const;
  // The next stage of find's work, as shares of its span: units of work from `from` to `to`.
  void stage(double from, double to, uint64_t units) const;

  const EncoderModel& analyzed_;
  std::unique_ptr<EncoderModel> trials_;  // the counts and codes of the last trial
  ProgressMeter* meter_;
  SampleRange samples_;
  uint32_t channels_;
  unsigned threads_;
  SearchEffort effort_;
  uint32_t largest_ = 0;
  int runWidth_ = 0;
  Draw drawn_, firstRound_;
  std::vector<uint64_t> allDifferences_;  // of the whole sound, by magnitude
  std::vector<int32_t> codeLengths_;      // by context and symbol, when rates are weighed
  uint64_t bits_ = 0;
  uint64_t noise_ = 0;
  size_t mostSparePathBytes_ = size_t{16} << 20;
  struct Span {
    double from = 0, to = 1;
  } span_;
};

}  // namespace qxw
