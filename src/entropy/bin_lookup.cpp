#include "entropy/bin_lookup.h"

#include <algorithm>
#include <cstring>

namespace qxw {

BinLookup::BinLookup(const uint32_t (&binBase)[kBinCount])
    : base_(binBase), table_(new uint8_t[kMaxMagnitude + 1 + kTablePadding]) {
  std::memset(table_.get(), 0, kMaxMagnitude + 1 + kTablePadding);
  for (int b = 1; b < kBinCount; ++b) {
    const uint32_t first = std::min<uint32_t>(binBase[b], kMaxMagnitude + 1);
    const uint32_t end = b + 1 < kBinCount ? std::min<uint32_t>(binBase[b + 1], kMaxMagnitude + 1)
                                           : kMaxMagnitude + 1;
    if (end > first) std::memset(table_.get() + first, b, end - first);
  }
}

}  // namespace qxw
