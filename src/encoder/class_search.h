#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/uniform_table.h"
#include "encoder/target_encoder.h"
#include "format/progress_meter.h"

namespace qxw {

// A beam search for the reconstruction of one channel, on a trellis the reader never sees: the
// single levels k·δ get the class k mod 4; after a step of class 0 or 3 only the even levels may
// follow (classes 0 and 2), after class 1 or 2 only the odd ones; any level may follow a tail
// step, and tail steps may always be taken. The codes fitted to such a reconstruction learn that
// the other symbols never occur in a context, so the file costs about a bit a sample less than the
// levels it chooses from; the trellis chooses well enough that the sound loses less than that bit
// buys.
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
  // the state given, and writes its reconstruction into reconstruction at the samples' indices
  // counted from first; adds the symbols the reconstruction codes to counts.
  void searchChannel(const uint8_t* first, const uint8_t* from, const uint8_t* to,
                     const uint8_t* end, uint32_t c, const TargetState& start,
                     int16_t* reconstruction, SymbolCounts& counts) const;

 private:
  struct Levels {
    std::vector<Level> levels;              // by growing magnitude
    std::unique_ptr<uint16_t[]> countUpTo;  // by magnitude: how many levels are at or below it
  };

  int runWidth_;
  uint32_t channels_;
  int width_;
  std::vector<int64_t> rate_;  // by context and symbol: 0 until weighed
  ProgressMeter* meter_ = nullptr;
  Levels even_, odd_;
  // By context: bit 0 when the even levels may follow, bit 1 when the odd ones may.
  uint8_t sets_[kBinCount] = {};
};

}  // namespace qxw
