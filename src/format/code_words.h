#pragma once

#include <cstdint>

namespace qxw {

// The code words that a row of 63 code lengths (a complete prefix code, each 1..32) stands for.
// They are not canonical: they come from a tree merged on the lengths alone, which the writer and
// every reader build the same way (docs/FORMAT.md gives the construction step by step). The
// writer makes its tree with the encoder's own heap and node classes, which the refinement shares;
// this plain-array heap is the same construction for readers, which must not depend on the
// encoder (entropy/huffman_test checks the two agree on every shape of counts).
void codeWordsFromLengths(const int32_t* lengths, uint32_t* words);

}  // namespace qxw
