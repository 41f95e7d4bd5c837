#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analysis/uniform_table.h"
#include "encoder/level_classes.h"
#include "encoder/searched_path.h"
#include "encoder/target_encoder.h"
#include "format/progress_meter.h"

namespace qxw {

// A beam search for the reconstruction of one channel, on the trellis of level classes. The codes
// fitted to such a reconstruction learn that the other symbols never occur in a context, so the
// file costs about a bit a sample less than the levels it chooses from; the trellis chooses well
// enough that the sound loses less than that bit buys.
class ClassSearch {
 public:
  static constexpr int kWidest = 16;

  // width: how many hypotheses (the cheapest distinct decoder states) survive each sample, 1 to
  // kWidest. The levels are taken from the table as the search is made.
  ClassSearch(const UniformTable& table, int runWidth, uint32_t channels, int width);

  // A hypothesis's cost is its squared error, times kErrorScale, plus, when rates are weighed, the
  // cost of each step's code and offset bits by context and symbol, in the same units.
  static constexpr int64_t kErrorScale = 16;
  using RateCosts = int64_t[kContextCount][kSymbolColumns];
  void weighRates(const RateCosts& rateCosts);
  // The samples each search settles are reported here, as they are settled.
  void reportTo(ProgressMeter* meter) { meter_ = meter; }

  // Searches channel c over the frames of [from, to) (runs look ahead up to end), starting from
  // the state given; writes its choices into path (when given) at the frames' indices counted
  // from first, and adds the symbols its reconstruction codes to counts. Returns the squared
  // differences between the input and that reconstruction.
  uint64_t searchChannel(const uint8_t* first, const uint8_t* from, const uint8_t* to,
                         const uint8_t* end, uint32_t c, const TargetState& start,
                         SearchedPath* path, SymbolCounts& counts) const;

  // A channel's frames [from, to) to search, as searchChannel takes them.
  struct Stretch {
    const uint8_t* from;
    const uint8_t* to;
    const uint8_t* end;
    uint32_t channel;
    TargetState start;
  };
  // Searches one or two stretches as searchChannel does, two side by side on this thread, which
  // goes faster than one after the other; returns their squared differences.
  std::array<uint64_t, 2> searchStretches(const uint8_t* first, std::span<const Stretch> stretches,
                                          SearchedPath* path, SymbolCounts& counts) const;
  // Searches channel c of the whole sound [first, end) as searchChannel does from its start,
  // a long one in two halves, side by side on this thread or, given two threads, on a thread
  // each: the second half from a guess some way before its seam, taken where its beam there is
  // the first half's, else searched again from there.
  uint64_t searchInHalves(const uint8_t* first, const uint8_t* end, uint32_t c, SearchedPath* path,
                          SymbolCounts& counts, unsigned threads = 1) const;

 private:
  void makeBrackets();
  friend struct ClassSearchRunner;  // runs one search, or two side by side

  int runWidth_;
  uint32_t channels_;
  int width_;
  std::vector<int64_t> rate_;  // by context and symbol: 0 until weighed
  ProgressMeter* meter_ = nullptr;
  LevelClasses classes_;
  // For narrow beams in vector lanes: the levels around each magnitude, by set.
  std::vector<uint64_t> brackets_;
  uint32_t lastMagnitude_ = 0;
};

}  // namespace qxw
