#include "encoder/level_classes.h"

namespace qxw {

LevelClasses::LevelClasses(const UniformTable& table) {
  for (int b = 0; b < kBinCount; ++b) {
    if (b > table.singleLevels()) {
      allowed_[b] = kEven | kOdd;
    } else {
      allowed_[b] = b % 4 == 0 || b % 4 == 3 ? kEven : kOdd;
    }
  }
  for (const Level& level : table.levels()) {
    const bool tail = level.bin > table.singleLevels();
    if (tail || level.bin % 2 == 0) even_.levels.push_back(level);
    if (tail || level.bin % 2 == 1) odd_.levels.push_back(level);
  }
  for (Levels* set : {&even_, &odd_}) {
    set->countUpTo = std::make_unique<uint16_t[]>(kMaxMagnitude + 1);
    size_t count = 0;
    for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
      while (count < set->levels.size() && set->levels[count].magnitude <= m) ++count;
      set->countUpTo[m] = static_cast<uint16_t>(count);
    }
  }
}

}  // namespace qxw
