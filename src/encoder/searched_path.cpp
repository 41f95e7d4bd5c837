#include "encoder/searched_path.h"

namespace qxw {

SearchedPath::SearchedPath(uint32_t channels, size_t frames)
    : channels_(channels),
      rowBytes_((frames + 3) / 4),
      codes_(std::make_unique<uint8_t[]>(rowBytes_ * channels)),
      checkpoints_(std::make_unique<TargetState[]>((frames / kCheckpointFrames + 1) * channels)) {}

void SearchedPath::chooseOn(const UniformTable& table) {
  classes_.reset();  // one set of tables at a time
  classes_ = std::make_unique<LevelClasses>(table);
}

}  // namespace qxw
