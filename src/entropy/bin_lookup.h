#pragma once

#include <cstdint>
#include <memory>

#include "analysis/encoder_model.h"

namespace qxw {

// The bin of every magnitude 0..65535 at once, for a non-decreasing base table: the same
// answer as findBin, read from a table instead of five dependent comparisons.
class BinLookup {
 public:
  explicit BinLookup(const uint32_t (&binBase)[kBinCount]);

  int operator()(uint32_t magnitude) const {
    return magnitude <= kMaxMagnitude ? table_[magnitude] : findBin(base_, magnitude);
  }
  // The bins of magnitudes 0..65535, for loops whose magnitudes never go beyond; readable
  // kTablePadding bytes further, for loads of four bytes at a time.
  const uint8_t* table() const { return table_.get(); }
  // The bases the bins are found in.
  const uint32_t* bases() const { return base_; }
  static constexpr uint32_t kTablePadding = 3;

 private:
  const uint32_t (&base_)[kBinCount];
  std::unique_ptr<uint8_t[]> table_;
};

}  // namespace qxw
