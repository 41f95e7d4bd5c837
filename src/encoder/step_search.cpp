#include "encoder/step_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "encoder/target_lanes.h"
#include "format/frame_pieces.h"
#include "format/qxw_layout.h"
#include "format/vector_support.h"

namespace qxw {

namespace {

constexpr size_t kBlockFrames = size_t{1} << 16;
constexpr double kLargestLogStep = 16;
constexpr int kMostTrials = 14;
// Blocks left after the last full group of lanes are walked alone up to this share of a group.
constexpr size_t kAloneAtMost = 4;
// A miss the even table may leave before the smooth one is tried: the target is 3%.
constexpr double kWellWithin = 0.015;

}  // namespace

uint64_t fitCodes(EncoderModel& model, const SymbolCounts& counts, const UniformTable& table,
                  int runWidth) {
  uint64_t offsetBits = 0;
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolCount; ++s) {
      model.contextHistogram[c][s] = counts[c][s];
      const int bin = binOfSymbol(s);
      const int extra = bin == 0 ? (c == 0 ? runWidth : 0) : table.bits(bin);
      offsetBits += uint64_t{counts[c][s]} * static_cast<uint32_t>(extra);
    }
  }
  uint64_t symbolBits = 0;
  model.generateHuffmanCodes(symbolBits);
  return symbolBits + offsetBits + 8 * uint64_t{kQxwHeaderSize};
}

LogStepFound searchLogStep(double target, double x, double samples, double firstBits,
                           const std::function<double(double)>& estimate) {
  // lo is the largest log-step known to give too many bits, hi the smallest known to give too
  // few.
  double lo = 0, hi = kLargestLogStep, loBits = 0, hiBits = 0;
  bool loKnown = false, hiKnown = false;
  LogStepFound best{x, -1};
  double lastX = 0, lastBits = 0;
  for (int trial = 0; trial < kMostTrials; ++trial) {
    const double bits = trial == 0 && firstBits > 0 ? firstBits : estimate(x);
    const double miss = std::fabs(bits - target);
    const double slope = trial > 0 && x != lastX ? (bits - lastBits) / (x - lastX) : 0;
    if (best.miss < 0 || miss < best.miss) best = {x, miss, slope};
    lastX = x, lastBits = bits;
    if (miss <= 0.004 * target) break;
    (bits > target ? lo : hi) = x;
    (bits > target ? loBits : hiBits) = bits;
    (bits > target ? loKnown : hiKnown) = true;
    double next;
    if (loKnown && hiKnown) {
      // Interpolate between the two ends; halve where that lands too near either.
      next = lo + (hi - lo) * (loBits - target) / (loBits - hiBits);
      const double margin = 0.1 * (hi - lo);
      if (next < lo + margin || next > hi - margin) next = (lo + hi) / 2;
    } else {
      // About one bit a sample for each doubling of the step.
      next = std::clamp(x + (bits - target) / samples, lo, hi);
    }
    if (std::fabs(next - x) < 1e-3 || hi - lo < 0.01) break;
    x = next;
  }
  return best;
}

StepSearch::StepSearch(const EncoderModel& analyzed, SampleRange samples, uint32_t channels,
                       unsigned threads)
    : analyzed_(analyzed),
      trials_(std::make_unique<EncoderModel>()),
      samples_(samples),
      channels_(channels),
      threads_(std::max(threads, 1u)) {}

uint32_t StepSearch::findLargestDifference() const {
  for (uint32_t m = kMaxMagnitude; m > 0; --m) {
    if (analyzed_.deltaHistogram[m] != 0) return m;
  }
  return 0;
}

// The entropy of the differences less the bits a step of δ saves (about log2 δ) gives the
// logarithm of the step to start from.
double StepSearch::firstGuess(double bitsPerSample) const {
  double total = 0;
  for (uint32_t m = 0; m <= kMaxMagnitude; ++m) total += analyzed_.deltaHistogram[m];
  if (total == 0) return 0;
  double entropy = 0;
  for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
    if (analyzed_.deltaHistogram[m] == 0) continue;
    const double p = analyzed_.deltaHistogram[m] / total;
    entropy -= p * std::log2(p);
    if (m != 0) entropy += p;  // the sign
  }
  return std::clamp(entropy - bitsPerSample, 0.0, kLargestLogStep - 1);
}

int StepSearch::repeatRunWidth() const {
  // Too few repeats to pay for a count after every zero step of context 0.
  const uint64_t samples = samples_.sampleCount();
  if (uint64_t{analyzed_.deltaHistogram[0]} * 50 < samples) return 0;
  std::vector<uint64_t> runs(kMaxMagnitude + 1);  // runs of k repeated samples, by k
  const size_t stride = 2 * size_t{channels_};
  const size_t frames = static_cast<size_t>(samples_.end - samples_.begin) / stride;
  for (uint32_t c = 0; c < channels_ && frames > 0; ++c) {
    uint32_t length = 0;
    const uint8_t* first = samples_.begin + 2 * c;
    for (size_t f = 1; f < frames; ++f) {
      const uint8_t* at = first + f * stride;
      if (readSample(at) == readSample(at - stride)) {
        length += length < kMaxMagnitude ? 1 : 0;
      } else if (length > 0) {
        ++runs[length];
        length = 0;
      }
    }
    ++runs[length];
  }
  // Without counts a run of k repeats costs about a bit each; with w-bit counts about 1 + w bits
  // for every 2^w of them.
  int best = 0;
  double bestBits = 0;
  for (uint32_t k = 1; k <= kMaxMagnitude; ++k) bestBits += static_cast<double>(runs[k]) * k;
  for (int w = 1; w <= 16; ++w) {
    double bits = 0;
    for (uint32_t k = 1; k <= kMaxMagnitude; ++k) {
      const uint32_t counts = (k >> w) + ((k & ((1u << w) - 1)) != 0 ? 1 : 0);
      bits += static_cast<double>(runs[k]) * (1 + w) * counts;
    }
    if (bits < bestBits) best = w, bestBits = bits;
  }
  return best;
}

uint64_t StepSearch::estimateBits(const UniformTable& table, int runWidth) {
  const size_t stride = 2 * size_t{channels_};
  const size_t frames = static_cast<size_t>(samples_.end - samples_.begin) / stride;
  const size_t blocks = (frames + kBlockFrames - 1) / kBlockFrames;
  const size_t whole = frames / kBlockFrames;
  const TargetWalk walk{table, runWidth, channels_};
  // Whole blocks go through vector lanes a group at a time where the machine has them. A group
  // costs the same however few of its lanes are used: a few blocks left after the last full one
  // are walked one at a time instead. Each thread takes an even share of the groups and of the
  // blocks walked alone.
  const std::unique_ptr<LaneSteps> lanes =
      wideVectorsAvailable() ? std::make_unique<LaneSteps>(table) : nullptr;
  const size_t atOnce = lanes ? targetBlocksAtOnce(channels_) : 1;
  size_t groups = lanes ? whole / atOnce : 0;
  if (lanes && whole - groups * atOnce > atOnce / kAloneAtMost) ++groups;
  const size_t grouped = std::min(whole, groups * atOnce);
  const size_t alone = blocks - grouped;
  const size_t workers = std::max<size_t>(1, std::min<size_t>(threads_, groups + alone));
  const auto walkAlone = [&](size_t block, SymbolCounts& counts) {
    const uint8_t* from = samples_.begin + block * kBlockFrames * stride;
    const uint8_t* to = std::min(samples_.end, from + kBlockFrames * stride);
    std::vector<TargetState> states = guessedStates(samples_, from, channels_);
    countTargetSymbols(walk, {from, to}, states.data(), counts);
  };
  SymbolCounts sum;
  countOnThreads(workers, workers, sum, [&](size_t k, SymbolCounts& counts) {
    for (size_t g = groups * k / workers; g < groups * (k + 1) / workers; ++g) {
      const size_t first = g * atOnce, last = std::min(grouped, first + atOnce);
      if (!countTargetBlocks(walk, *lanes, samples_, kBlockFrames, first, last, counts)) {
        for (size_t block = first; block < last; ++block) walkAlone(block, counts);
      }
    }
    for (size_t b = alone * k / workers; b < alone * (k + 1) / workers; ++b) {
      walkAlone(grouped + b, counts);
    }
  });
  return fitCodes(*trials_, sum, table, runWidth);
}

uint64_t StepSearch::estimateAt(double logStep, bool smooth, int runWidth) {
  if (last_.logStep == logStep && last_.smooth == smooth && last_.runWidth == runWidth) {
    return last_.bits;
  }
  const uint64_t bits =
      estimateBits(UniformTable(std::exp2(logStep), largest_, {smooth}), runWidth);
  last_ = {logStep, smooth, runWidth, bits};
  return bits;
}

LogStepFound StepSearch::search(double target, double x, bool smooth, double firstBits) {
  const double samples = std::max(static_cast<double>(samples_.sampleCount()), 1.0);
  return searchLogStep(target, x, samples, firstBits, [&](double logStep) {
    return static_cast<double>(estimateAt(logStep, smooth, runWidth_));
  });
}

std::unique_ptr<UniformTable> StepSearch::find(double bitsPerSample) {
  largest_ = findLargestDifference();
  runWidth_ = 0;
  const double target = bitsPerSample * std::max(static_cast<double>(samples_.sampleCount()), 1.0);
  const double first = firstGuess(bitsPerSample);
  // Runs are counted only where they make the file smaller at the first step tried.
  double firstBits = 0;
  last_ = {-1, false, 0, 0};
  if (const int width = repeatRunWidth(); width > 0) {
    const uint64_t without = estimateAt(first, false, 0);
    const uint64_t with = estimateAt(first, false, width);
    runWidth_ = with < without ? width : 0;
    firstBits = static_cast<double>(std::min(with, without));
  }
  // Even tail spacings code best; where the target falls in one of the gaps their powers of two
  // leave, the smooth table reaches it.
  LogStepFound found = search(target, first, false, firstBits);
  bool smooth = false;
  if (found.miss > kWellWithin * target) {
    const LogStepFound closer = search(target, found.logStep, true, 0);
    if (closer.miss < found.miss) found = closer, smooth = true;
  }
  // trials_ keeps the counts of the last estimate: walked again only when the step found was
  // not the last one tried.
  estimatedBits_ = estimateAt(found.logStep, smooth, runWidth_);
  logStep_ = found.logStep;
  return std::make_unique<UniformTable>(std::exp2(found.logStep), largest_,
                                        UniformTable::Shape{smooth});
}

}  // namespace qxw
