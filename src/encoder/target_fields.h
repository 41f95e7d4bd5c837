#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/encoder_model.h"
#include "analysis/uniform_table.h"
#include "format/vector_support.h"

namespace qxw {

// A coded sample as the target walk's chain leaves it for its fields: the step from bit 8, the
// bin below; for the zero step, the count of the run it opens from bit 8 (0 where it opens none;
// a size target's counts take at most 16 bits). Bins stay below kHeldEntry, which marks a sample
// held in a run.
inline constexpr uint32_t kHeldEntry = 0xFF;
static_assert(kBinCount < int{kHeldEntry});

// A sample's fields in 32 bits where they fit: the width from bit kPackedShift, the value below.
// Otherwise kSideFields, the sample's two fields then following in order in its side list.
inline constexpr int kPackedShift = 27;
inline constexpr uint32_t kSideFields = ~uint32_t{0};

// The codes and the table's bins as the fields are made from them.
class FieldCodes {
 public:
  FieldCodes(const EncoderModel& model, const UniformTable& table, int runWidth);

  // Where a channel's walk stands between its samples: the context and the sign of its last
  // coded step.
  struct Position {
    uint8_t context;
    bool lastNegative;
  };

  // Turns `count` entries into fields in place, from the position given (moved past them); the
  // side fields go from `side` on. Returns the side list's end.
  uint64_t* turn(uint32_t* entries, size_t count, Position& at, uint64_t* side) const;

 private:
  uint64_t* turnPlainly(uint32_t* entries, size_t count, Position& at, uint64_t* side) const;
#ifdef QXW_VECTORS
  uint64_t* turnInLanes(uint32_t* entries, size_t count, Position& at, uint64_t* side) const;
#endif

  const EncoderModel& model_;
  const UniformTable& table_;
  int runWidth_;
  // By context and symbol, the code's length from bit kPackedShift and its word below; a code
  // too long for that has length bits of all ones, which no packed field can hold.
  uint32_t packedCodes_[kContextCount * kSymbolColumns];
  int32_t bits_[kBinCount];
  int32_t base_[kBinCount];
  int32_t shift_[kBinCount];
};

}  // namespace qxw
