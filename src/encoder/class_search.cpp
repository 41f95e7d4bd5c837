#include "encoder/class_search.h"

#include <algorithm>
#include <cstring>

#include "encoder/key_sort.h"

namespace qxw {

namespace {

constexpr uint8_t kEven = LevelClasses::kEven;
constexpr uint8_t kOdd = LevelClasses::kOdd;

// Decisions older than this many samples behind the newest are settled on the cheapest hypothesis;
// hypotheses that disagree with it there are dropped.
constexpr size_t kDecisionDelay = 1024;
constexpr size_t kSettleEvery = 1024;
constexpr size_t kRing = 4096;   // at least kDecisionDelay + kSettleEvery + 1, a power of two
constexpr uint8_t kHeld = 0xFF;  // no symbol: a sample inside a run

// What the reader holds of a hypothesis, and what the hypothesis cost so far. The reader's part is
// eight bytes without padding, compared as one word.
struct Hypothesis {
  int64_t cost;
  int16_t reconstructed;
  uint8_t context;
  bool lastNegative;
  uint32_t runLength;
  uint64_t state() const {
    uint64_t word;
    std::memcpy(&word, &reconstructed, sizeof word);
    return word;
  }
};
static_assert(sizeof(Hypothesis) == 16);

// A hypothesis's sample as the traceback keeps it.
struct Node {
  int16_t reconstructed;
  uint8_t parent;   // the hypothesis's slot at the sample before
  uint8_t symbol;   // coded in the context before, or kHeld
  uint8_t context;  // the context the symbol was coded in
  uint8_t choice;   // the path's choice that reached it (0 inside a run)
};

constexpr int kMostCandidates = 4 * ClassSearch::kWidest;
constexpr uint64_t kIndexMask = 63;
static_assert(kMostCandidates <= int{kIndexMask} + 1);

// A candidate's cost and index in one word, ordered by cost, then index: costs are relative to
// the cheapest hypothesis of the sample before, and those beyond 2^57 are all alike hopeless.
inline uint64_t keyOf(int64_t cost, int index) {
  const auto capped = static_cast<uint64_t>(std::min<int64_t>(cost, (int64_t{1} << 57) - 1));
  return capped << 6 | static_cast<uint64_t>(index);
}

// A hypothesis one sample on, with its sample as the traceback keeps it.
struct Step {
  Hypothesis hypothesis;
  Node node;
};

// The surviving hypotheses of one sample, cheapest first, each state once.
class Beam {
 public:
  int size() const { return size_; }
  Hypothesis& operator[](int i) { return steps_[i].hypothesis; }
  const Node& node(int i) const { return steps_[i].node; }

  // Takes the `width` cheapest steps of distinct states from the candidates, cheapest first.
  void choose(const Step* candidates, int count, int width) {
    uint64_t keys[kMostCandidates];
    const int sorted = count <= 8 ? 8 : count <= 16 ? 16 : count <= 32 ? 32 : 64;
    for (int j = 0; j < sorted; ++j)
      keys[j] = j < count ? keyOf(candidates[j].hypothesis.cost, j) : ~0ull;
    sortKeys(keys, sorted);
    // The states kept so far beside the steps, where a step's copy need not reach them first.
    uint64_t kept[ClassSearch::kWidest];
    size_ = 0;
    for (int j = 0; j < count && size_ < width; ++j) {
      const Step& picked = candidates[keys[j] & kIndexMask];
      const uint64_t state = picked.hypothesis.state();
      bool seen = false;
      for (int i = 0; i < size_; ++i) seen |= kept[i] == state;
      if (!seen) {
        kept[size_] = state;
        steps_[size_++] = picked;
      }
    }
  }

  void keepOnly(const bool* keep) {
    int kept = 0;
    for (int i = 0; i < size_; ++i) {
      if (keep[i]) steps_[kept++] = steps_[i];
    }
    size_ = kept;
  }

 private:
  int size_ = 0;
  Step steps_[ClassSearch::kWidest];
};

// The nodes of the last kRing samples, a slot for each hypothesis: the traceback.
class Traceback {
 public:
  Traceback() : ring_(kRing * ClassSearch::kWidest) {}
  Node& at(size_t t, int slot) {
    return ring_[(t & (kRing - 1)) * ClassSearch::kWidest + static_cast<size_t>(slot)];
  }
  void store(size_t t, const Beam& beam) {
    for (int i = 0; i < beam.size(); ++i) at(t, i) = beam.node(i);
  }

 private:
  std::vector<Node> ring_;
};

// Where a channel's settled samples go: their choices into the path (when kept) at the frames'
// own indices, with the states the path passes at its checkpoints; the symbols they code into
// counts; their squared errors into noise.
struct Settled {
  SearchedPath* path;
  uint32_t channel;
  size_t firstFrame;
  const uint8_t* input;  // the channel's first sample
  size_t stride;
  SymbolCounts& counts;
  uint64_t noise = 0;  // 2^31 samples of squares below 2^32 fit
  size_t upTo = 0;     // the samples before it are settled
  // The hypotheses' states after the last checkpoint's sample, by slot, until it is settled: a
  // checkpoint is settled long before the next is reached.
  size_t pendingAt = ~size_t{0};
  TargetState pending[ClassSearch::kWidest];
  static_assert(SearchedPath::kCheckpointFrames > kDecisionDelay + kSettleEvery);

  // Keeps the beam's states where the sample at t ends a stretch of checkpoint frames.
  void markCheckpoint(size_t t, Beam& beam) {
    if (path == nullptr || (firstFrame + t + 1) % SearchedPath::kCheckpointFrames != 0) return;
    pendingAt = t;
    for (int i = 0; i < beam.size(); ++i) {
      pending[i] = {beam[i].reconstructed, beam[i].context, beam[i].lastNegative,
                    beam[i].runLength};
    }
  }

  // Settles the hypothesis in slot at t, from t back to upTo.
  void settle(Traceback& traceback, size_t t, int slot) {
    for (size_t u = t + 1; u-- > upTo;) {
      const Node& node = traceback.at(u, slot);
      const int64_t e = int64_t{readSample(input + u * stride)} - node.reconstructed;
      noise += static_cast<uint64_t>(e * e);
      if (path != nullptr) {
        path->set(channel, firstFrame + u, node.choice);
        if (u == pendingAt) {
          path->checkpoint(channel, (firstFrame + u + 1) / SearchedPath::kCheckpointFrames) =
              pending[slot];
        }
      }
      if (node.symbol != kHeld) ++counts[node.context][node.symbol];
      slot = node.parent;
    }
    upTo = t + 1;
  }
};

// The run a zero step in context 0 would open at a sample, looked for once asked.
struct RunAhead {
  const uint8_t* at;
  const uint8_t* end;
  size_t stride;
  int16_t x;
  int width;
  int64_t run = -1;
  uint32_t length() {
    if (run < 0) run = repeatsAfter(at, end, stride, x, width);
    return static_cast<uint32_t>(run);
  }
};

// The candidates a hypothesis leads to at the next sample, written in the next slots and kept
// only when valid: the choices between them are unpredictable, so they cost no branches.
struct Extension {
  LevelClasses::Set even, odd;
  const int64_t* rate;
  const uint8_t* sets;  // by context: bit 0 the even levels may follow, bit 1 the odd ones
  int runWidth;

  // Adds what p, in slot, leads to at input x to `out` from `count` on; the new count.
  [[gnu::always_inline]] int extend(const Hypothesis& p, int slot, int16_t x, RunAhead& run,
                                    Step* out, int count) const {
    if (p.runLength > 0) {
      const int64_t e = int64_t{x} - p.reconstructed;
      Hypothesis held = p;
      held.cost += ClassSearch::kErrorScale * e * e;
      --held.runLength;
      out[count] = {held, {p.reconstructed, static_cast<uint8_t>(slot), kHeld, 0, 0}};
      return count + 1;
    }
    const uint8_t allowed = sets[p.context];
    if (allowed == (kEven | kOdd)) {
      count = takeAround(even, 0, p, slot, x, run, out, count);
      return takeAround(odd, SearchedPath::kOdd, p, slot, x, run, out, count);
    }
    return allowed == kEven ? takeAround(even, 0, p, slot, x, run, out, count)
                            : takeAround(odd, SearchedPath::kOdd, p, slot, x, run, out, count);
  }

 private:
  // The allowed levels either side of the target, where they keep a 16-bit sample; `set` is the
  // choice's bit that names their set.
  [[gnu::always_inline]] int takeAround(const LevelClasses::Set& levels, uint8_t set,
                                        const Hypothesis& p, int slot, int16_t x, RunAhead& run,
                                        Step* out, int count) const {
    const Bracket bracket = bracketOf(levels, p.reconstructed, x);
    count = take(bracket.below, set, p, slot, x, run, out, count);
    return take(bracket.above, set | SearchedPath::kAbove, p, slot, x, run, out, count);
  }

  [[gnu::always_inline]] int take(const LevelStep& taken, uint8_t choice, const Hypothesis& p,
                                  int slot, int16_t x, RunAhead& run, Step* out, int count) const {
    const Level& level = *taken.level;
    const bool down = taken.down;
    const int32_t step = down ? -int32_t{level.magnitude} : int32_t{level.magnitude};
    const auto r = static_cast<int16_t>(p.reconstructed + step);
    const bool turnsDown = down && level.magnitude != 0;
    const int symbol = symbolOf(level.bin, turnsDown != p.lastNegative);
    const int64_t e = int64_t{x} - r;
    Hypothesis child{p.cost + ClassSearch::kErrorScale * e * e +
                         rate[size_t{p.context} * kSymbolColumns + symbol],
                     r, level.bin, turnsDown, 0};
    if (runWidth > 0 && level.bin == 0 && p.context == 0) child.runLength = run.length();
    out[count] = {child,
                  {r, static_cast<uint8_t>(slot), static_cast<uint8_t>(symbol), p.context, choice}};
    return count + (taken.valid ? 1 : 0);
  }
};

}  // namespace

ClassSearch::ClassSearch(const UniformTable& table, int runWidth, uint32_t channels, int width)
    : runWidth_(runWidth),
      channels_(channels),
      width_(std::clamp(width, 1, kWidest)),
      rate_(size_t{kContextCount} * kSymbolColumns, 0),
      classes_(table) {}

void ClassSearch::weighRates(const RateCosts& rateCosts) {
  rate_.assign(&rateCosts[0][0], &rateCosts[0][0] + kContextCount * kSymbolColumns);
}

uint64_t ClassSearch::searchChannel(const uint8_t* first, const uint8_t* from, const uint8_t* to,
                                    const uint8_t* end, uint32_t c, const TargetState& start,
                                    SearchedPath* path, SymbolCounts& counts) const {
  const size_t stride = 2 * size_t{channels_};
  const size_t samples = static_cast<size_t>(to - from) / stride;
  const uint8_t* base = from + 2 * size_t{c};
  if (samples == 0) return 0;
  Traceback traceback;
  Settled settled{
      path,       c, static_cast<size_t>(from - first) / stride, base, stride, counts, 0, 0,
      ~size_t{0}, {}};
  const Extension extension{classes_.even(), classes_.odd(), rate_.data(), classes_.allowed(),
                            runWidth_};
  Beam beam;
  Step candidates[kMostCandidates];
  candidates[0] = {{0, start.reconstructed, start.context, start.lastNegative, start.runLength},
                   {start.reconstructed, 0, kHeld, 0, 0}};
  beam.choose(candidates, 1, 1);
  for (size_t t = 0; t < samples; ++t) {
    // Every hypothesis extended by the sample, the cheapest distinct ones kept.
    const uint8_t* at = base + t * stride;
    const int16_t x = readSample(at);
    RunAhead run{at, end, stride, x, runWidth_};
    int count = 0;
    for (int i = 0; i < beam.size(); ++i) {
      count = extension.extend(beam[i], i, x, run, candidates, count);
    }
    beam.choose(candidates, count, width_);
    traceback.store(t, beam);
    // Costs are kept relative to the cheapest hypothesis, so that they never overflow.
    const int64_t cheapest = beam[0].cost;
    for (int i = 0; i < beam.size(); ++i) beam[i].cost -= cheapest;

    // Now and then, the samples kDecisionDelay behind are settled on the cheapest hypothesis;
    // those that disagree with it there go.
    if (t + 1 - settled.upTo >= kDecisionDelay + kSettleEvery) {
      int slots[kWidest];
      for (int i = 0; i < beam.size(); ++i) slots[i] = i;
      const size_t until = t - kDecisionDelay;
      for (size_t u = t; u > until; --u) {
        for (int i = 0; i < beam.size(); ++i) slots[i] = traceback.at(u, slots[i]).parent;
      }
      bool keep[kWidest];
      for (int i = 0; i < beam.size(); ++i) keep[i] = slots[i] == slots[0];
      const size_t before = settled.upTo;
      settled.settle(traceback, until, slots[0]);
      advance(meter_, settled.upTo - before);
      beam.keepOnly(keep);
      traceback.store(t, beam);
    }
    settled.markCheckpoint(t, beam);
  }
  const size_t before = settled.upTo;
  settled.settle(traceback, samples - 1, 0);
  advance(meter_, samples - before);
  return settled.noise;
}

}  // namespace qxw
