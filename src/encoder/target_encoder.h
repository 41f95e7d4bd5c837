#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "encoder/bit_writer.h"
#include "encoder/sample_encoder.h"
#include "encoder/searched_path.h"
#include "encoder/target_state.h"
#include "format/frame_pieces.h"

namespace qxw {

// Symbol counts by context, as the code construction takes them.
using SymbolCounts = uint32_t[kContextCount][kSymbolColumns];
// Counts as a value: a vector may not hold a bare array in every standard library.
struct CountsOf {
  SymbolCounts counts;
};

// Sums the symbols count(unit, counts) adds for each of `units` units of work, on up to `threads`
// threads; the sum never depends on them.
template <typename CountUnit>
void countOnThreads(size_t units, unsigned threads, SymbolCounts& sum, CountUnit count) {
  const size_t workers = std::max<size_t>(1, std::min<size_t>(threads, units));
  std::vector<CountsOf> parts(workers);
  onThreads(workers, [&](size_t k) {
    std::memset(parts[k].counts, 0, sizeof(SymbolCounts));
    for (size_t unit = units * k / workers; unit < units * (k + 1) / workers; ++unit) {
      count(unit, parts[k].counts);
    }
  });
  std::memset(sum, 0, sizeof(SymbolCounts));
  for (const CountsOf& part : parts) {
    for (int c = 0; c < kContextCount; ++c) {
      for (int s = 0; s < kSymbolColumns; ++s) sum[c][s] += part.counts[c][s];
    }
  }
}

// What a written walk measured: the sums of squared input samples and of squared differences
// between input and reconstruction.
struct TargetQuality {
  long double signal = 0;
  long double noise = 0;
};

// The walk: each step takes the whole difference between the input and the reconstruction
// (nothing is held back for later), quantized to the nearest level the table offers, or the
// largest one that keeps the reconstruction inside the 16-bit range. A zero step in context 0
// opens a run over the following samples that repeat the input exactly, up to what runWidth
// bits can count (none when it is 0); the reader holds its sample through them.
// With a searched path (the choices a search made on the table's level classes), each step is
// the level the path chose instead.
struct TargetWalk {
  const UniformTable& table;
  int runWidth;
  uint32_t channels;
  const SearchedPath* searched = nullptr;
};

// Counts the symbols the walk codes over the frames of samples, every channel starting from the
// given state (left as it ends); runs look no further than the range. A searched path is read
// from the range's start.
void countTargetSymbols(const TargetWalk& walk, SampleRange samples, TargetState* states,
                        SymbolCounts& counts);

// The same walk from the start of the sound, written with the model's codes; keeps the
// reconstruction as the recording asks and returns what it measured. On several threads the
// channels are walked on threads of their own; a single channel goes in pieces that each guess
// their first state (a searched path's from its checkpoints) and are walked again where the
// guess missed. The bytes never depend on threads.
TargetQuality writeTargetSamples(const TargetWalk& walk, const EncoderModel& model,
                                 BitWriter& writer, SampleRange samples, Recording recording,
                                 unsigned threads = 1);

// Moves the states past the frames [from, to) of samples, coding nothing; runs look ahead to the
// sound's end.
void skipTargetFrames(const TargetWalk& walk, SampleRange samples, TargetState* states,
                      const uint8_t* from, const uint8_t* to);

// The squared differences between the input and the reconstruction the walk leaves, walked
// without coding anything, the channels on up to `threads` threads.
long double measureTargetNoise(const TargetWalk& walk, SampleRange samples, unsigned threads = 1);

// The guess at a block's state where a walk cannot know it: the reader holds the previous input
// sample.
std::vector<TargetState> guessedStates(SampleRange samples, const uint8_t* at, uint32_t channels);

}  // namespace qxw
