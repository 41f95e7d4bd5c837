#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/uniform_table.h"
#include "format/qxw_layout.h"

namespace qxw {

// The trellis of level classes a searched reconstruction keeps to, which the reader never sees:
// the single levels k·δ get the class k mod 4; after a step of class 0 or 3 only the even levels
// may follow (classes 0 and 2), after class 1 or 2 only the odd ones; any level may follow a tail
// step, and tail steps may always be taken, so they belong to both sets.
class LevelClasses {
 public:
  static constexpr uint8_t kEven = 1;
  static constexpr uint8_t kOdd = 2;

  explicit LevelClasses(const UniformTable& table);

  // A level set as a loop reads it: plain pointers, which the loop's stores cannot alias.
  struct Set {
    const Level* levels;        // by growing magnitude
    const uint16_t* countUpTo;  // by magnitude: how many levels are at or below it
    uint32_t last;              // the index of the largest level
  };
  Set even() const { return viewOf(even_); }
  Set odd() const { return viewOf(odd_); }
  // By context: kEven where the even levels may follow, kOdd where the odd ones may, or both.
  const uint8_t* allowed() const { return allowed_; }

 private:
  struct Levels {
    std::vector<Level> levels;
    std::unique_ptr<uint16_t[]> countUpTo;
  };
  static Set viewOf(const Levels& set) {
    return {set.levels.data(), set.countUpTo.get(), static_cast<uint32_t>(set.levels.size() - 1)};
  }

  Levels even_, odd_;
  uint8_t allowed_[kBinCount] = {};
};

// A step a reconstruction may take towards an input sample, and whether it keeps a 16-bit sample.
struct LevelStep {
  const Level* level;
  bool down;
  bool valid;
};

// The two levels of a set either side of a step's magnitude m: below it the largest at most m
// (or, with none, the smallest, taken the other way), above it the next (or, with none, the
// largest).
struct Around {
  const Level* below;
  bool belowTurns;
  const Level* above;
  bool aboveMissing;
};

[[gnu::always_inline]] inline Around aroundOf(const LevelClasses::Set& set, uint32_t m) {
  const uint32_t count = set.countUpTo[m];
  return {&set.levels[count > 0 ? count - 1 : 0], count == 0,
          &set.levels[std::min(count, set.last)], count > set.last};
}

// The same for the step from `reconstructed` to input x, each side kept only where it leaves a
// 16-bit sample.
struct Bracket {
  LevelStep below, above;
};

[[gnu::always_inline]] inline Bracket bracketOf(const LevelClasses::Set& set, int16_t reconstructed,
                                                int16_t x) {
  const int32_t target = int32_t{x} - reconstructed;
  const bool negative = target < 0;
  const uint32_t m = negative ? 0u - static_cast<uint32_t>(target) : target;
  const auto room = [reconstructed](bool down) {
    return static_cast<uint32_t>(down ? reconstructed + 32768 : 32767 - reconstructed);
  };
  const Around around = aroundOf(set, m);
  const bool belowDown = around.belowTurns ? !negative : negative;
  return {
      {around.below, belowDown, around.below->magnitude <= room(belowDown)},
      {around.above, negative, !around.aboveMissing && around.above->magnitude <= room(negative)}};
}

}  // namespace qxw
