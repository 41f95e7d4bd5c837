#include "analysis/uniform_table.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qxw {

namespace {

// The smallest w with 2^w >= n.
int32_t bitsFor(uint64_t n) {
  int32_t w = 0;
  while ((uint64_t{1} << w) < n) ++w;
  return w;
}

}  // namespace

UniformTable::UniformTable(double step, uint32_t largestDifference, Shape shape)
    : nearest_(std::make_unique<Level[]>(kMaxMagnitude + 1)),
      atMost_(std::make_unique<Level[]>(kMaxMagnitude + 1)),
      steps_(std::make_unique<SignedLevel[]>(2 * kMaxMagnitude + 1)) {
  singles_ = std::clamp(shape.singleLevels, 1, kSingleLevels);
  shape.singleLevels = singles_;
  designBins(std::max(step, 1.0), std::min<uint32_t>(largestDifference, kMaxMagnitude), shape);
  indexLevels();
}

void UniformTable::designBins(double step, uint32_t largestDifference, const Shape& shape) {
  const bool smooth = shape.smooth;
  const int singles = shape.singleLevels;
  int b = 1;
  for (; b <= singles; ++b) {
    base_[b] = static_cast<uint32_t>(std::min<double>(std::lround(b * step), kMaxMagnitude));
  }
  const uint32_t limit =
      std::min<uint32_t>(kMaxMagnitude, largestDifference + static_cast<uint32_t>(2 * step));
  // Tail spacings are powers of two: the nearest to δ; or, smooth, 2^fine below δ for the first
  // bins and twice that for the rest (δ scaled by tailScale).
  const double logStep = std::log2(step * shape.tailScale);
  const int tailBins = kBinCount - 1 - singles;
  int32_t fine = std::clamp<int32_t>(static_cast<int32_t>(std::lround(logStep)), 0, 15);
  int fineBins = tailBins;
  if (smooth) {
    fine = std::clamp<int32_t>(static_cast<int32_t>(std::floor(logStep)), 0, 14);
    fineBins = static_cast<int>(std::lround((1 - (logStep - fine)) * tailBins));
  }
  uint32_t top = base_[singles];
  int32_t width = 0;
  for (int j = 0; b < kBinCount && top < limit; ++b, ++j) {
    const int32_t shift = j < fineBins ? fine : fine + 1;
    const uint32_t spacing = 1u << shift;
    if (top + spacing > kMaxMagnitude) break;
    // Widths grow by at least one a bin, faster where the bins left could not reach the limit.
    const int left = kBinCount - b;
    const uint64_t levelsNeeded = (limit - top + spacing - 1) / spacing;
    width = std::max(width + 1, bitsFor(levelsNeeded) - left + 1);
    width = std::min({width, bitsFor(levelsNeeded), int32_t{16}});
    shift_[b] = shift;
    base_[b] = top + spacing;
    bits_[b] = width;
    top = base_[b] + ((uint32_t{1} << width) - 1) * spacing;
  }
  // Where the spacing no longer fits below 65536, one level at the limit closes the tail.
  if (b < kBinCount && top < limit) {
    base_[b++] = limit;
    top = limit;
  }
  // Bins the tail did not need repeat the top base with a single level; nothing codes them.
  for (; b < kBinCount; ++b) base_[b] = std::min<uint32_t>(top, kMaxMagnitude);
}

void UniformTable::indexLevels() {
  std::vector<Level>& levels = levels_;
  levels.push_back({0, 0, 0});
  for (int b = 1; b < kBinCount; ++b) {
    for (uint64_t o = 0; o < (uint64_t{1} << bits_[b]); ++o) {
      const uint64_t magnitude = base_[b] + (o << shift_[b]);
      if (magnitude > kMaxMagnitude) break;
      if (magnitude > levels.back().magnitude) {
        levels.push_back(
            {static_cast<uint16_t>(magnitude), static_cast<uint16_t>(o), static_cast<uint8_t>(b)});
      }
    }
  }
  size_t below = 0;  // the largest level at or below m
  for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
    while (below + 1 < levels.size() && levels[below + 1].magnitude <= m) ++below;
    atMost_[m] = levels[below];
    const bool upper =
        below + 1 < levels.size() && levels[below + 1].magnitude - m < m - levels[below].magnitude;
    nearest_[m] = levels[upper ? below + 1 : below];
  }
  SignedLevel* zero = steps_.get() + kMaxMagnitude;
  for (int32_t m = 0; m <= kMaxMagnitude; ++m) {
    const Level& level = nearest_[m];
    zero[m] = {level.magnitude, level.offset, level.bin};
    zero[-m] = {-int32_t{level.magnitude}, level.offset, level.bin};
  }
}

void UniformTable::applyTo(EncoderModel& model) const {
  for (int b = 0; b < kBinCount; ++b) {
    model.binBase[b] = base_[b];
    model.binBits[b] = bits_[b];
    model.binShift[b] = shift_[b];
  }
}

}  // namespace qxw
