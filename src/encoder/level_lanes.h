#pragma once

#include <cstddef>
#include <cstdint>

#include "encoder/bit_writer.h"

namespace qxw {

// Chains a lane walk takes side by side, one in each 32-bit lane of two vectors, whose chains
// overlap.
inline constexpr uint32_t kChainLanes = 32;

// The chains' states, a lane each, as the chained walk keeps one: the last input sample, the
// error, the row (context * 2 + the last step's sign) and the samples left in the run. A lane
// whose run never ends takes no part.
struct alignas(64) LaneChains {
  int32_t lastInput[kChainLanes];
  int32_t error[kChainLanes];
  uint32_t row[kChainLanes];
  uint32_t runLength[kChainLanes];
};

// Marks a field that a second follows, where a caller keeps it.
inline constexpr uint64_t kLaneTwo = uint64_t{1} << 62;
// Marks a sample whose code and offset are wider than a narrow code: below, its offset from bit 16
// and the index of its code.
inline constexpr uint64_t kLaneApart = uint64_t{1} << 61;
// Marks a field marked kLaneApart that a run count of 0 follows.
inline constexpr uint64_t kLaneRun = uint64_t{1} << 60;

// What every step reads besides the states: the step table's lane words from target 0, the bin
// table, the narrow codes (as exact groups read them) by (row ^ the step's sign) * 32 + bin, the
// width of a run count, and the most twice the error may be for a run to open.
struct LaneTables {
  const int32_t* steps;
  const uint32_t* binBase;
  const int32_t* binShift;
  const uint32_t* codes;
  uint32_t runWidth;
  uint32_t runError;
};

// The samples of sixteen stereo or thirty-two mono pieces for a lane walk, for `count` steps: at
// each step, the frame at pieces[p] + 2 * channels * step of every piece p, its channels in lanes
// channels * p on. Needs the machine's 512-bit vectors.
void gatherSteps(const uint8_t* const* pieces, uint32_t channels, size_t count, int16_t* samples);

// Walks the steps [step, stop) of every lane, whose input samples are samples[step *
// kChainLanes + lane], giving each sample's field to fields[step * kChainLanes + lane]: its code
// and offset, with a run count of 0 joined after a zero symbol in context 0 (marked kLaneApart,
// and kLaneRun for such a count, where wider than a narrow code or 32 bits), or 0 in a run. Stops
// at the first step where some lane's sample needs more: a target the lane words lack, a step
// the range guard must hold back, or a zero symbol in context 0 that may open a run (or whose
// next sample is past stop). That step's other lanes are done, those lanes' fields left alone
// and their states untouched; returns the step, with the lanes in `waiting`. Returns stop when
// all are done. Needs the machine's 512-bit vectors.
size_t walkLevelLanes(LaneChains& chains, const LaneTables& tables, const int16_t* samples,
                      size_t step, size_t stop, uint64_t* fields, uint32_t& waiting);

// The bit cursors of up to kChainLanes pieces, a piece a lane, for packing their fields side by
// side: each its pending bits, their count, and the address its next word goes to.
struct alignas(64) LaneCursors {
  uint64_t bits[kChainLanes];
  uint64_t count[kChainLanes];
  uint64_t next[kChainLanes];

  BitCursor of(uint32_t piece) const {
    return {bits[piece], static_cast<uint32_t>(count[piece]),
            reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(next[piece]))};
  }
  void set(uint32_t piece, const BitCursor& cursor) {
    bits[piece] = cursor.bits;
    count[piece] = cursor.count;
    next[piece] = reinterpret_cast<uintptr_t>(cursor.next);
  }
};

// Packs the fields a lane walk gave pieces of `channels` channels (1 or 2), a piece in lanes
// channels * p on, for the steps [step, stop) of fields, into the registers of the cursors of
// the pieces in `active`: the fields of a frame go out together. What each cursor stores at a
// step goes to words[step * kChainLanes + piece], for storeLaneWords: the word in the low half,
// the bytes the cursor moves on by in the high. Stops at the first step where an active
// piece's frame holds a marked field or is wider than 32 bits: that step's other pieces are
// packed, those pieces left, in `waiting`; returns the step. Returns stop when all are packed.
// Needs the machine's 512-bit vectors.
size_t packFieldsInLanes(LaneCursors& cursors, uint32_t channels, uint32_t active,
                         const uint64_t* fields, size_t step, size_t stop, uint64_t* words,
                         uint32_t& waiting);

// Stores the words packFieldsInLanes gave the first `pieces` pieces for the steps [from, to),
// each where its cursor stands, moving it on past the complete ones. A cursor may leave the bytes
// past its complete words changed: only its register holds the word being filled.
void storeLaneWords(LaneCursors& cursors, uint32_t pieces, const uint64_t* words, size_t from,
                    size_t to);

}  // namespace qxw
