#pragma once

#include <cstdint>

namespace qxw {

// The threads a run of `frames` frames uses when asked for `threads` (0: as many as help): no
// more than a few a CPU this process may run on, nor than one a block of the sound.
unsigned threadsToUse(int threads, uint32_t frames);

}  // namespace qxw
