#pragma once

#include <cstdint>

namespace qxw {

// What a sound is, beside its samples.
struct SoundFormat {
  uint32_t frameCount;
  uint32_t channelCount;
  uint32_t sampleRate;
};

}  // namespace qxw
