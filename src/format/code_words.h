#pragma once

#include <cstdint>

namespace qxw {

// The code words that a row of 63 code lengths (a complete prefix code, each 1..32) stands for.
// They are not canonical: they come from a tree merged on the lengths alone, which the writer and
// every reader build the same way (docs/FORMAT.md gives the construction step by step).
void codeWordsFromLengths(const int32_t* lengths, uint32_t* words);

}  // namespace qxw
