#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/uniform_table.h"
#include "encoder/target_encoder.h"

namespace qxw {

// Channels of blocks the target walk counts at once: one to a vector lane.
inline constexpr size_t kTargetLanes = 32;

// The table's nearest steps as the lanes look them up: the step times 256 plus its bin, by
// signed target, -65535 to 65535.
class LaneSteps {
 public:
  explicit LaneSteps(const UniformTable& table);
  const int32_t* bySignedTarget() const { return packed_.data() + kMaxMagnitude; }

 private:
  std::vector<int32_t> packed_;
};

// The most blocks one call of countTargetBlocks takes.
inline size_t targetBlocksAtOnce(uint32_t channels) { return kTargetLanes / channels; }

// Adds to counts the symbols the target walk codes in the whole blocks [first, last) of
// blockFrames frames of samples, steps taken from walk.table, (at most targetBlocksAtOnce), each
// block walked from its guessed states with its runs kept inside it, as countTargetSymbols walks
// it. Returns false, counting nothing, where the machine lacks the vectors, or the samples are not
// 2-byte aligned.
bool countTargetBlocks(const TargetWalk& walk, const LaneSteps& steps, SampleRange samples,
                       size_t blockFrames, size_t first, size_t last, SymbolCounts& counts);

}  // namespace qxw
