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

// The two levels of a set either side of the step from `reconstructed` to input x: below it the
// largest at most the step (or, with none, the smallest the other way), above it the next.
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
  const uint32_t count = set.countUpTo[m];
  const bool under = count > 0;
  const Level& over = set.levels[std::min(count, set.last)];
  return {{&set.levels[under ? count - 1 : 0], under ? negative : !negative,
           under || set.levels[0].magnitude <= room(!negative)},
          {&over, negative, count <= set.last && over.magnitude <= room(negative)}};
}

}  // namespace qxw
