#pragma once

#include <cstdint>

namespace qxw {

// A channel's state in the walk that aims at a size: what a reader holds and expects next.
struct TargetState {
  int16_t reconstructed = 0;
  uint8_t context = 0;
  bool lastNegative = false;
  uint32_t runLength = 0;  // following samples of the channel still inside a run
};

}  // namespace qxw
