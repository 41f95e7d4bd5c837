#pragma once

#include <cstddef>
#include <cstdint>

#include "encoder/quantizer.h"

namespace qxw {

// Samples of one channel an exact walk codes at once, in vector lanes.
inline constexpr size_t kExactGroup = 16;

// A code and the offset that follows it, in one 32-bit lane: their width from bit kNarrowShift
// up, the code word shifted past the offset below; kNotNarrow when wider than kNarrowWidest.
inline constexpr int kNarrowShift = 27;
inline constexpr int kNarrowWidest = 27;
inline constexpr uint32_t kNotNarrow = ~uint32_t{0};

// What chains the samples of a channel in an exact walk, besides the samples themselves.
struct ExactChain {
  int32_t context;  // the bin of the sample before
  bool lastNegative;
};

// Codes groups of kExactGroup samples of channel `channel` of mono or stereo frames from
// `frames` on, the sample before the first being `before`, for a step table at `steps` (indexed
// by magnitude) and narrow codes by context, turn and bin: each sample's field (its width in the
// high half, its value in the low) to `first`, 0 to `second`. Sets inexact where a step is not its
// magnitude. Stops before the first group that holds a zero symbol in context 0 (a run may
// open there) or a code and offset wider than kNarrowWidest, and before the last kExactGroup - 1
// frames of `count`, and returns the samples done. Does nothing where the machine lacks the vectors
// it needs, or for other channel counts.
size_t codeExactGroups(const uint8_t* frames, size_t count, uint32_t channels, uint32_t channel,
                       int32_t before, const StepTable::Entry* steps, const uint32_t* codes,
                       ExactChain& chain, uint64_t* first, uint64_t* second, uint32_t& inexact);

// Joins two fields (width in the high half, value in the low) into one, the first's bits before
// the second's, for each frame from the first on while both samples of eight frames in a row have
// one field each and every pair fits in 32 bits: into `pairs`, and returns the frames joined, a
// multiple of eight. left and right: the two channels' first fields; extra: their second fields,
// at the same places from leftExtra and rightExtra. Returns 0 where the machine lacks the vectors.
size_t pairExactFields(const uint64_t* left, const uint64_t* right, const uint64_t* leftExtra,
                       const uint64_t* rightExtra, size_t frames, uint64_t* pairs);
// The same for one channel's samples two by two: fields 2k and 2k + 1 into pairs[k], sixteen
// samples at a time; returns the samples joined.
size_t pairNeighbourFields(const uint64_t* fields, const uint64_t* extra, size_t count,
                           uint64_t* pairs);

}  // namespace qxw
