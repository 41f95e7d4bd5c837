#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analysis/uniform_table.h"
#include "encoder/level_classes.h"
#include "encoder/target_state.h"

namespace qxw {

// The reconstruction a search chose, kept as the choice it made at each sample between the levels
// it could step by there: the even or the odd set, below or above the input. Two bits a sample,
// where the samples themselves would take sixteen. A walk finds the levels again from its own
// state, so the choices mean something only when read in order from a state the walk knows:
// the sound's start, or one of the states the search passed through every kCheckpointFrames.
class SearchedPath {
 public:
  static constexpr uint8_t kOdd = 2;    // the odd levels' set, else the even ones'
  static constexpr uint8_t kAbove = 1;  // the level above the input, else the one below
  static constexpr size_t kCheckpointFrames = 4096;

  SearchedPath(uint32_t channels, size_t frames);

  // Starts a path on a table: its choices are the next search's.
  void chooseOn(const UniformTable& table);
  // The step each target takes at a choice, -65535 to 65535, with the target's sign (that of a
  // step taken the other way turned), packed as the step times 256 plus its bin: one load on the
  // walk's chain from sample to sample, four bytes a step so that more of it stays in the nearest
  // cache.
  const int32_t* packedStepsAt(uint8_t choice) const {
    return packedSteps_.get() + size_t{choice} * (2 * size_t{kMaxMagnitude} + 1) + kMaxMagnitude;
  }
  uint32_t channels() const { return channels_; }
  // The memory the choices take.
  size_t bytes() const { return rowBytes_ * channels_; }

  void set(uint32_t channel, size_t frame, uint8_t choice) {
    uint8_t& byte = codes_[channel * rowBytes_ + frame / 4];
    const unsigned shift = 2 * (frame % 4);
    byte = static_cast<uint8_t>((byte & ~(3u << shift)) | unsigned{choice} << shift);
  }
  // A channel's choices, 2 bits a frame from the low bits up, four frames to a byte.
  const uint8_t* row(uint32_t channel) const { return codes_.get() + channel * rowBytes_; }
  uint8_t at(uint32_t channel, size_t frame) const {
    return (codes_[channel * rowBytes_ + frame / 4] >> 2 * (frame % 4)) & 3;
  }
  // The channel's state before frame k·kCheckpointFrames (the sound's start for k = 0).
  TargetState& checkpoint(uint32_t channel, size_t k) {
    return checkpoints_[k * channels_ + channel];
  }
  const TargetState& checkpoint(uint32_t channel, size_t k) const {
    return checkpoints_[k * channels_ + channel];
  }

 private:
  uint32_t channels_;
  size_t rowBytes_;  // a channel's choices to themselves: one thread each may write them
  std::unique_ptr<uint8_t[]> codes_;
  std::unique_ptr<TargetState[]> checkpoints_;
  std::unique_ptr<int32_t[]> packedSteps_;  // by choice, then target
};

}  // namespace qxw
