#include "encoder/class_step_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "encoder/step_search.h"
#include "format/frame_pieces.h"

namespace qxw {

namespace {

constexpr size_t kBlockFrames = size_t{1} << 12;
// Trials search an eighth of the blocks, between 32 and 256 of them: one drawn from each of as
// many equal stretches of the sound, so that no rhythm of the music lines up with the blocks.
constexpr size_t kFewestSampledBlocks = 32;
constexpr size_t kMostSampledBlocks = 256;
// The tail is spaced near 2δ: at the search's step a tail as fine as δ gains nothing from the
// classes and costs bits.
constexpr double kTailScale = 2;
// The search's step comes out a little above half the nearest choice's at the same size, and
// about 8% smaller again once bits are weighed.
constexpr double kFirstLogStepShift = -0.8;
constexpr double kWeighedLogStepShift = -0.12;
// Up to 2^15 an odd level always fits one way from any sample, so no hypothesis is left without a
// step.
constexpr double kLargestLogStep = 15;
// The weight of a bit against a squared error, in δ²: where rates are weighed, a step may be
// up to 0.45δ² worse for each bit it saves.
constexpr double kRateWeight = 0.45;
// The whole search is taken when it lands this near the target.
constexpr double kWholeWithin = 0.0075;
constexpr int kMostWholePasses = 3;
// Shares of find's time, for the progress shown: the two rounds of trials (about five trials
// each), then the whole passes, the first of which usually ends the search.
constexpr double kFirstRoundEnds = 0.1, kTrialsEnd = 0.25;
constexpr double kWholePassEnds[kMostWholePasses] = {0.85, 0.93, 1.0};
constexpr uint64_t kTrialsExpected = 5;

// A fixed scramble of k (splitmix64's finish), for draws that are the same on every run.
uint64_t mixed(uint64_t k) {
  k += 0x9E3779B97F4A7C15ull;
  k = (k ^ (k >> 30)) * 0xBF58476D1CE4E5B9ull;
  k = (k ^ (k >> 27)) * 0x94D049BB133111EBull;
  return k ^ (k >> 31);
}

}  // namespace

SearchEffort searchEffort(int level) {
  switch (level) {
    case 1:
      return {4};
    case 3:
      return {16};
    default:
      return {8};
  }
}

ClassStepSearch::ClassStepSearch(const EncoderModel& analyzed, SampleRange samples,
                                 uint32_t channels, unsigned threads, SearchEffort effort,
                                 ProgressMeter* meter)
    : analyzed_(analyzed),
      trials_(std::make_unique<EncoderModel>()),
      meter_(meter),
      samples_(samples),
      channels_(channels),
      threads_(std::max(threads, 1u)),
      effort_(effort) {}

std::unique_ptr<UniformTable> ClassStepSearch::tableAt(double logStep) const {
  return std::make_unique<UniformTable>(std::exp2(std::clamp(logStep, 0.0, kLargestLogStep)),
                                        largest_, UniformTable::Shape{true, kTailScale});
}

ClassSearch ClassStepSearch::searchFor(const UniformTable& table, double logStep) const {
  ClassSearch search(table, runWidth_, channels_, effort_.width);
  if (!codeLengths_.empty()) {
    const double step = std::exp2(std::clamp(logStep, 0.0, kLargestLogStep));
    const double weight = ClassSearch::kErrorScale * kRateWeight * step * step;
    ClassSearch::RateCosts costs{};
    for (int c = 0; c < kContextCount; ++c) {
      for (int s = 0; s < kSymbolCount; ++s) {
        const int bin = binOfSymbol(s);
        const int extra = bin == 0 ? (c == 0 ? runWidth_ : 0) : table.bits(bin);
        const int bits = codeLengths_[static_cast<size_t>(c * kSymbolColumns + s)] + extra;
        costs[c][s] = std::llround(weight * bits);
      }
    }
    search.weighRates(costs);
  }
  return search;
}

void ClassStepSearch::stage(double from, double to, uint64_t units) const {
  if (meter_ == nullptr) return;
  const double width = span_.to - span_.from;
  meter_->stage(span_.from + from * width, span_.from + to * width, units);
}

void ClassStepSearch::drawBlocks() {
  const size_t stride = 2 * size_t{channels_};
  const size_t frames = static_cast<size_t>(samples_.end - samples_.begin) / stride;
  const size_t blocks = (frames + kBlockFrames - 1) / kBlockFrames;
  const size_t stretches =
      std::min(blocks, std::clamp<size_t>(blocks / 8, kFewestSampledBlocks, kMostSampledBlocks));
  drawn_.blocks.clear();
  firstRound_.blocks.clear();
  for (size_t k = 0; k < stretches; ++k) {
    const size_t first = blocks * k / stretches, last = blocks * (k + 1) / stretches;
    drawn_.blocks.push_back(first + static_cast<size_t>(mixed(k) % (last - first)));
    // The first round only finds codes and a step to start from: a quarter of the blocks.
    if (stretches < 4 * kFewestSampledBlocks || k % 4 == 0) {
      firstRound_.blocks.push_back(drawn_.blocks.back());
    }
  }
  // The differences of the whole sound and of the blocks drawn, each from the sample before.
  const auto count = [&](std::vector<uint64_t>& histogram, size_t from, size_t to) {
    for (uint32_t c = 0; c < channels_; ++c) {
      const uint8_t* at = samples_.begin + 2 * size_t{c};
      for (size_t f = std::max<size_t>(from, 1); f < to; ++f) {
        ++histogram[static_cast<size_t>(
            std::abs(readSample(at + f * stride) - readSample(at + (f - 1) * stride)))];
      }
    }
  };
  // The sound's are the model's, which counts each channel's first sample from zero as well.
  allDifferences_.assign(analyzed_.deltaHistogram, analyzed_.deltaHistogram + kMaxMagnitude + 1);
  for (uint32_t c = 0; c < channels_ && frames > 0; ++c) {
    --allDifferences_[static_cast<size_t>(std::abs(readSample(samples_.begin + 2 * size_t{c})))];
  }
  for (Draw* draw : {&drawn_, &firstRound_}) {
    draw->differences.assign(kMaxMagnitude + 1, 0);
    for (const size_t b : draw->blocks) {
      count(draw->differences, b * kBlockFrames, std::min(frames, (b + 1) * kBlockFrames));
    }
  }
}

double ClassStepSearch::sampledBits(double logStep, const Draw& draw) {
  const std::unique_ptr<UniformTable> table = tableAt(logStep);
  const ClassSearch search = searchFor(*table, logStep);
  const size_t stride = 2 * size_t{channels_};
  // A block's channel is a stretch; two go side by side on a thread.
  const size_t stretches = draw.blocks.size() * channels_;
  const auto stretchOf = [&](size_t k) -> ClassSearch::Stretch {
    const uint8_t* from = samples_.begin + draw.blocks[k / channels_] * kBlockFrames * stride;
    const uint8_t* to = std::min(samples_.end, from + kBlockFrames * stride);
    const auto c = static_cast<uint32_t>(k % channels_);
    return {from, to, to, c, guessedStates(samples_, from, channels_)[c]};
  };
  SymbolCounts sum;
  countOnThreads((stretches + 1) / 2, threads_, sum, [&](size_t unit, SymbolCounts& counts) {
    const ClassSearch::Stretch pair[2] = {stretchOf(2 * unit),
                                          stretchOf(std::min(2 * unit + 1, stretches - 1))};
    search.searchStretches(samples_.begin, std::span(pair, 2 * unit + 1 < stretches ? 2 : 1),
                           nullptr, counts);
  });
  // A ratio estimate: the blocks' bits scaled by how the whole sound's differences compare with
  // theirs, each difference m weighed by about the bits a step of δ needs for it, which follows
  // the loud and quiet passages a plain scaling by length would miss.
  const double step = std::exp2(std::clamp(logStep, 0.0, kLargestLogStep));
  double all = 0, drawn = 0;
  for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
    if (allDifferences_[m] == 0) continue;
    const double bits = 1 + std::log2(1 + m / step);
    all += bits * static_cast<double>(allDifferences_[m]);
    drawn += bits * static_cast<double>(draw.differences[m]);
  }
  const double header = 8.0 * kQxwHeaderSize;
  const double bits = static_cast<double>(fitCodes(*trials_, sum, *table, runWidth_)) - header;
  advance(meter_, 1);
  return (drawn > 0 ? bits * all / drawn : bits) + header;
}

uint64_t ClassStepSearch::searchWhole(const UniformTable& table, double logStep, SearchedPath& path,
                                      SymbolCounts& counts) const {
  ClassSearch search = searchFor(table, logStep);
  search.reportTo(meter_);
  path.chooseOn(table);
  std::vector<uint64_t> noise(channels_);
  // A channel to a thread; a channel with two threads to itself (a mono sound) halves on both.
  const unsigned each = threads_ >= 2 * channels_ ? 2 : 1;
  countOnThreads(channels_, threads_, counts, [&](size_t c, SymbolCounts& part) {
    noise[c] = search.searchInHalves(samples_.begin, samples_.end, static_cast<uint32_t>(c), &path,
                                     part, each);
  });
  uint64_t sum = 0;
  for (const uint64_t n : noise) sum += n;
  return sum;
}

LogStepFound ClassStepSearch::trials(double target, double firstLogStep, const Draw& draw) {
  const double samples = std::max(static_cast<double>(samples_.sampleCount()), 1.0);
  double last = -1;
  const LogStepFound found = searchLogStep(target, firstLogStep, samples, 0, [&](double logStep) {
    last = logStep;
    return sampledBits(logStep, draw);
  });
  // trials_ keeps the codes of the last trial: those of the step found are wanted.
  if (last != found.logStep) sampledBits(found.logStep, draw);
  return found;
}

double ClassStepSearch::wholePasses(double target, const LogStepFound& found, SearchedPath& path,
                                    SymbolCounts& counts) {
  // The whole search lands a little off the sampled estimate: corrected along the estimate's
  // slope (about a bit a sample for each doubling where unmeasured).
  const double samples = std::max(static_cast<double>(samples_.sampleCount()), 1.0);
  const double slope = found.slope < 0 ? found.slope : -samples;
  double x = found.logStep, bestLogStep = x, bestMiss = -1, inPath = x;
  std::unique_ptr<SearchedPath> spare;
  SymbolCounts tried;
  for (int pass = 0; pass < kMostWholePasses; ++pass) {
    stage(pass == 0 ? kTrialsEnd : kWholePassEnds[pass - 1], kWholePassEnds[pass],
          samples_.sampleCount());
    if (pass == 1 && path.bytes() <= mostSparePathBytes_) {
      spare = std::make_unique<SearchedPath>(channels_, samples_.sampleCount() / channels_);
    }
    SearchedPath& into = pass > 0 && spare ? *spare : path;
    const std::unique_ptr<UniformTable> table = tableAt(x);
    const uint64_t noise = searchWhole(*table, x, into, tried);
    if (&into == &path) inPath = x;
    const double bits = static_cast<double>(fitCodes(*trials_, tried, *table, runWidth_));
    const double miss = std::fabs(bits - target);
    if (bestMiss < 0 || miss < bestMiss) {
      bestMiss = miss, bestLogStep = x, noise_ = noise;
      std::memcpy(counts, tried, sizeof(SymbolCounts));
      if (&into != &path) std::swap(path, *spare), inPath = x;
    }
    if (miss <= kWholeWithin * target) break;
    x = std::clamp(x + (target - bits) / slope, 0.0, kLargestLogStep);
  }
  // Without a second path, a later pass that ended further off overwrote the best: searched
  // again, it is found exactly as before.
  if (inPath != bestLogStep) {
    stage(1, 1, samples_.sampleCount());
    searchWhole(*tableAt(bestLogStep), bestLogStep, path, tried);
  }
  return bestLogStep;
}

std::unique_ptr<UniformTable> ClassStepSearch::find(double bitsPerSample, double firstLogStep,
                                                    uint32_t largest, int runWidth,
                                                    SearchedPath& path) {
  largest_ = largest;
  runWidth_ = runWidth;
  codeLengths_.clear();
  const double target = bitsPerSample * std::max(static_cast<double>(samples_.sampleCount()), 1.0);
  drawBlocks();
  stage(0, kFirstRoundEnds, kTrialsExpected);
  LogStepFound found = trials(target, firstLogStep + kFirstLogStepShift, firstRound_);
  // The second round weighs each step's bits, by the codes the first round's sampled
  // reconstructions call for, against its error.
  codeLengths_.assign(&trials_->codeLength[0][0],
                      &trials_->codeLength[0][0] + kContextCount * kSymbolColumns);
  stage(kFirstRoundEnds, kTrialsEnd, kTrialsExpected);
  found = trials(target, found.logStep + kWeighedLogStepShift, drawn_);
  SymbolCounts counts;
  const double logStep = wholePasses(target, found, path, counts);
  std::unique_ptr<UniformTable> table = tableAt(logStep);
  bits_ = fitCodes(*trials_, counts, *table, runWidth_);
  return table;
}

}  // namespace qxw
