#include "encoder/searched_path.h"

namespace qxw {

SearchedPath::SearchedPath(uint32_t channels, size_t frames)
    : channels_(channels),
      rowBytes_((frames + 3) / 4),
      codes_(std::make_unique<uint8_t[]>(rowBytes_ * channels)),
      checkpoints_(std::make_unique<TargetState[]>((frames / kCheckpointFrames + 1) * channels)) {}

void SearchedPath::chooseOn(const UniformTable& table) {
  const LevelClasses classes(table);
  if (!steps_) steps_ = std::make_unique<SignedLevel[]>(4 * (size_t{kMaxMagnitude} + 1));
  for (uint8_t choice = 0; choice < 4; ++choice) {
    const LevelClasses::Set set = (choice & kOdd) != 0 ? classes.odd() : classes.even();
    SignedLevel* steps = steps_.get() + size_t{choice} * (kMaxMagnitude + 1);
    for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
      const Around around = aroundOf(set, m);
      const bool above = (choice & kAbove) != 0;
      const Level& level = above ? *around.above : *around.below;
      const bool turns = !above && around.belowTurns;
      steps[m] = {turns ? -int32_t{level.magnitude} : int32_t{level.magnitude}, level.offset,
                  level.bin};
    }
  }
}

}  // namespace qxw
