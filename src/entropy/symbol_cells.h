#pragma once

#include <cstddef>
#include <cstdint>

#include "format/qxw_layout.h"

namespace qxw {

// Samples of one channel whose symbols are found at once, in vector lanes.
inline constexpr size_t kSymbolGroup = 16;

// The histogram cell past the last (context times the columns, plus the column): where samples
// that code no symbol are counted, to be left out.
inline constexpr uint32_t kNoCell = kContextCount * kSymbolColumns;

// What chains the symbols of a channel's samples, besides the samples themselves.
struct SymbolChain {
  int32_t context;  // the bin of the difference before
  bool lastNegative;
  uint32_t runLength;  // zero symbols in context 0 in a row, up to the sample before
};

// Finds the histogram cells (context times the columns, plus the column) of the symbols of
// groups of kSymbolGroup samples of one channel from their differences to the sample before,
// their bins found in binBase (kBinCount bases) as findBin finds them, and moves the chain past
// them; a run of zero symbols in context 0 counts its first only, the others get
// `noCell`. Leaves the last kSymbolGroup - 1 samples or fewer, and returns the samples done.
// Does nothing where the machine lacks the vectors it needs.
size_t findSymbolCells(const int32_t* diffs, size_t count, const uint32_t* binBase,
                       SymbolChain& chain, uint32_t noCell, uint32_t* cells);

}  // namespace qxw
