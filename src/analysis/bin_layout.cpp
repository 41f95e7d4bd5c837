#include <algorithm>
#include <bit>
#include <vector>

#include "analysis/bin_layout.h"

namespace qxw {

namespace {

// Number of halvings that bring v to 0.
uint32_t significantBits(uint32_t v) { return static_cast<uint32_t>(std::bit_width(v)); }

// Sums of the difference histogram over magnitude ranges, in wrapping 32-bit arithmetic.
class HistogramSums {
 public:
  explicit HistogramSums(const uint32_t* histogram) : h_(histogram), prefix_(kMaxMagnitude + 2) {
    for (uint32_t m = 0; m <= kMaxMagnitude; ++m) prefix_[m + 1] = prefix_[m] + h_[m];
  }
  uint32_t at(uint32_t m) const { return h_[m]; }
  // Sum over first..last, both within 0..65535.
  uint32_t sum(uint32_t first, uint32_t last) const { return prefix_[last + 1] - prefix_[first]; }
  // Sum over first..last, ignoring magnitudes above 65535.
  uint32_t clippedSum(uint64_t first, uint64_t last) const {
    if (first > kMaxMagnitude) return 0;
    if (last > kMaxMagnitude) last = kMaxMagnitude;
    return sum(static_cast<uint32_t>(first), static_cast<uint32_t>(last));
  }

 private:
  const uint32_t* h_;
  std::vector<uint32_t> prefix_;
};

// The equal-population layout with top splitting. Returns false where a scan would leave the
// magnitudes 1..65535, for which the layout has no result.
bool placeBins(EncoderModel& model, const HistogramSums& h, uint32_t a, uint32_t n, uint32_t hi) {
  for (;;) {
    const uint32_t k = n - 1;
    uint32_t r = a;
    uint32_t d = 1;
    uint32_t t = (a + n / 2) / (n - 1);
    if (k >= 2) {
      for (uint32_t i = 1; i <= n - 2; ++i) {
        while (d <= kMaxMagnitude && h.at(d) == 0) ++d;
        if (d > kMaxMagnitude) return false;
        model.binBase[i] = d;
        // Width 1 is never tried alone; it can only win the choice against width 2.
        uint32_t w = 2;
        for (;;) {
          if (d + w - 1 > kMaxMagnitude) return false;
          if (h.sum(d, d + w - 1) >= t) break;
          w *= 2;
        }
        const uint32_t below = h.sum(d, d + w / 2 - 1);
        const uint32_t above = h.sum(d, d + w - 1);
        const bool narrower = static_cast<int32_t>(t - below) < static_cast<int32_t>(above - t);
        const uint32_t width = narrower ? w / 2 : w;
        model.binBits[i] = std::countr_zero(width);
        model.binCount[i] = narrower ? below : above;
        r -= model.binCount[i];
        d = model.binBase[i] + width;
        t = (r + (n - i) / 2) / (n - i - 1);
      }
    }
    const uint32_t e = hi - d;
    if (k >= 2 && e > (40 * d) / 93) {
      // The last bin would reach too far: cut a power-of-two bin off the top and start over.
      const uint32_t x = (40 * hi + 120) / 133;
      const uint32_t w = x >= 2 ? significantBits(x) - 1 : 0;
      const uint32_t top = n - 1;
      model.binBits[top] = static_cast<int32_t>(w);
      model.binBase[top] = hi - (1u << w) + 1;
      model.binCount[top] = h.sum(model.binBase[top], hi);
      uint32_t newHi = hi - (1u << w);
      while (newHi >= 1 && h.at(newHi) == 0) --newHi;
      if (newHi < 1) return false;
      a -= model.binCount[top];
      n -= 1;
      hi = newHi;
      continue;
    }
    model.binBase[n - 1] = d;
    model.binCount[n - 1] = r;
    model.binBits[n - 1] = static_cast<int32_t>(significantBits(e));
    return true;
  }
}

// Shrinking bin j gives its upper half to bin j+1.
bool shrinkBin(EncoderModel& model, int j) {
  if (model.binBits[j] == 0) return false;
  model.binBits[j] -= 1;
  model.binBits[j + 1] = model.binBits[j];
  model.binBase[j + 1] = model.binBase[j] + (1u << model.binBits[j]);
  return true;
}

void recountBins(EncoderModel& model, const HistogramSums& h) {
  for (int b = 1; b < kBinCount; ++b) {
    const uint64_t first = model.binBase[b];
    model.binCount[b] = h.clippedSum(first, first + (uint64_t{1} << model.binBits[b]) - 1);
  }
}

// The later passes need bases within 1..65535 that never decrease.
bool usableTable(const EncoderModel& model) {
  for (int b = 1; b < kBinCount; ++b) {
    if (model.binBase[b] < 1 || model.binBase[b] > kMaxMagnitude) return false;
    if (b > 1 && model.binBase[b] < model.binBase[b - 1]) return false;
  }
  return true;
}

uint32_t nextOccurring(const HistogramSums& h, uint32_t from) {
  while (from <= kMaxMagnitude && h.at(from) == 0) ++from;
  return from;
}

uint32_t greedyCoverBins(const HistogramSums& h, uint32_t widthBits) {
  uint32_t bins = 0;
  for (uint32_t m = nextOccurring(h, 1); m <= kMaxMagnitude;
       m = nextOccurring(h, m + (1u << widthBits))) {
    ++bins;
  }
  return bins;
}

// Layout for input the equal-population layout cannot place (silence, a few levels, a lone
// magnitude, too few distinct magnitudes for the scans). It covers every nonzero magnitude
// that occurs, so the lossless table stays lossless:
//  - W is the smallest width exponent for which a greedy cover (each bin starting at the
//    smallest magnitude not yet covered, 2^W wide) needs at most 31 bins;
//  - each bin then narrows to the smallest power of two reaching its last occurring magnitude,
//    so k <= 31 distinct magnitudes get a bin each with no extra bits;
//  - the unused bins take the bases just above the largest magnitude (at most 65535), in order.
void fallbackLayout(EncoderModel& model, const HistogramSums& h) {
  uint32_t widthBits = 0;
  while (greedyCoverBins(h, widthBits) > kBinCount - 1) ++widthBits;
  int b = 1;
  uint32_t largest = 0;
  for (uint32_t m = nextOccurring(h, 1); m <= kMaxMagnitude; ++b) {
    const uint32_t limit = std::min<uint32_t>(m + (1u << widthBits), kMaxMagnitude + 1);
    uint32_t last = m;
    for (uint32_t x = m; x < limit; ++x) {
      if (h.at(x) != 0) last = x;
    }
    model.binBase[b] = m;
    model.binBits[b] = static_cast<int32_t>(significantBits(last - m));
    largest = last;
    m = nextOccurring(h, limit);
  }
  for (uint32_t above = 1; b < kBinCount; ++b, ++above) {
    model.binBase[b] = std::min<uint32_t>(largest + above, kMaxMagnitude);
    model.binBits[b] = 0;
  }
  recountBins(model, h);
}

}  // namespace

bool repairOverlaps(EncoderModel& model, bool& changed) {
  changed = false;
  for (int j = 1; j <= 30; ++j) {
    const uint32_t end = model.binBase[j] + (1u << model.binBits[j]);
    const uint32_t next = model.binBase[j + 1];
    if (next >= end) continue;
    changed = true;
    const int nextBits = model.binBits[j + 1];
    if (nextBits == 0) {
      if (!shrinkBin(model, j)) return false;
      continue;
    }
    const uint32_t overlap = end - next;
    if (overlap < (1u << (nextBits - 1))) {
      model.binBase[j + 1] = end;
    } else if (end < next + (1u << nextBits)) {
      model.binBits[j + 1] = nextBits - 1;
      model.binBase[j + 1] = end;
    } else if (!shrinkBin(model, j)) {
      return false;
    }
  }
  return true;
}

bool placeEqualPopulationBins(EncoderModel& model) {
  const HistogramSums h(model.deltaHistogram);
  const uint32_t nonzero = model.channelCount * model.frameCount - model.deltaHistogram[0];
  uint32_t top = kMaxMagnitude;
  while (top > 0 && model.deltaHistogram[top] == 0) --top;
  bool changed = false;
  if (top < 1 || !placeBins(model, h, nonzero, kBinCount, top) || !repairOverlaps(model, changed)) {
    return false;
  }
  if (changed) recountBins(model, h);
  return usableTable(model);
}

void placeFallbackBins(EncoderModel& model) {
  fallbackLayout(model, HistogramSums(model.deltaHistogram));
}

void EncoderModel::analyzeHistogram(uint32_t frames) {
  frameCount = frames;
  binBits[0] = static_cast<int32_t>(significantBits(maxRun - 1u));
  binBase[0] = 0;
  if (!placeEqualPopulationBins(*this)) placeFallbackBins(*this);
}

}  // namespace qxw
