#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "encoder/searched_path.h"
#include "encoder/step_search.h"
#include "format/sound_format.h"

namespace qxw {

// How far above a size target the search may leave the file before the target counts as unmet.
inline constexpr double kTargetMiss = 0.03;

// The sum of squared input samples, and of squared differences from a reconstruction.
long double signalOf(SampleRange samples);
long double noiseOf(SampleRange samples, const std::vector<int16_t>& reconstruction);

// One candidate file for a size target, in memory, with what it measured.
struct Candidate {
  std::vector<uint8_t> bytes;
  long double noise = 0;
  std::vector<int16_t> reconstruction;  // when kept
};

// The nearest-level walk of a target table, written whole into memory with the model's codes
// (the table and fresh channel states go into the model).
Candidate writeTargetFile(EncoderModel& model, const UniformTable& table, int runWidth,
                          SampleRange samples, const SoundFormat& format, bool keep,
                          unsigned threads);

// A searched reconstruction to write: the table it was searched on and the search's path.
struct Searched {
  std::unique_ptr<UniformTable> table;
  std::unique_ptr<SearchedPath> path;
};

// The class search's reconstruction beside the nearest choice at the step the step search
// found: the class search's table and path, with the model's codes fitted to its reconstruction,
// where that keeps more of the sound within the size allowed; else nothing and the model as it
// was, so that searching never loses. The search fills [from, to) of the run's progress on the
// model's meter.
Searched searchedReconstruction(EncoderModel& model, const StepSearch& nearest,
                                const UniformTable& table, SampleRange samples,
                                const SoundFormat& format, double bitsPerSample, int effort,
                                unsigned threads, double from, double to);

// For a target the sound cannot meet, beside the smallest level's file: the step search's best at
// that file's size (the model's codes fitted to it) where it is no larger and keeps at least as
// much (when searchAtLevelSize),
// then the search's own smallest file where it is smaller still and keeps some of the sound
// (it keeps none on a short sound), so that a larger target never gives a smaller file.
Candidate chooseUnmet(EncoderModel& model, StepSearch& search, Candidate level,
                      bool searchAtLevelSize, Candidate smallest, long double signal,
                      SampleRange samples, const SoundFormat& format, bool keep, unsigned threads);

}  // namespace qxw
