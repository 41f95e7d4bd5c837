#include "encoder/searched_path.h"

namespace qxw {

SearchedPath::SearchedPath(uint32_t channels, size_t frames)
    : channels_(channels),
      rowBytes_((frames + 3) / 4),
      codes_(std::make_unique<uint8_t[]>(rowBytes_ * channels)),
      checkpoints_(std::make_unique<TargetState[]>((frames / kCheckpointFrames + 1) * channels)) {}

void SearchedPath::chooseOn(const UniformTable& table) {
  const LevelClasses classes(table);
  const size_t span = 2 * size_t{kMaxMagnitude} + 1;
  if (!packedSteps_) packedSteps_ = std::make_unique<int32_t[]>(4 * span);
  for (uint8_t choice = 0; choice < 4; ++choice) {
    const LevelClasses::Set set = (choice & kOdd) != 0 ? classes.odd() : classes.even();
    int32_t* steps = packedSteps_.get() + choice * span + kMaxMagnitude;
    // A target of 0 takes its step as a positive one would.
    for (uint32_t m = kMaxMagnitude + 1; m-- > 0;) {
      const Around around = aroundOf(set, m);
      const bool above = (choice & kAbove) != 0;
      const Level& level = above ? *around.above : *around.below;
      const bool turns = !above && around.belowTurns;
      const int32_t step = turns ? -int32_t{level.magnitude} : int32_t{level.magnitude};
      steps[-static_cast<int32_t>(m)] = -step * 256 + level.bin;
      steps[m] = step * 256 + level.bin;
    }
  }
}

}  // namespace qxw
