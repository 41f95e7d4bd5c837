#pragma once

#include <cstdint>

namespace qxw {

// Sorts n keys ascending, n being 8, 16, 32 or 64: a bitonic network, whose compares never depend
// on the keys, so that sorting costs no mispredicted branches. In 512-bit lanes where the machine
// has them, eight keys to a vector.
void sortKeys(uint64_t* keys, int n);

}  // namespace qxw
