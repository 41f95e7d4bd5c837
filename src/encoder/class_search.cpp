#include "encoder/class_search.h"

#include <algorithm>
#include <cstring>

namespace qxw {

namespace {

constexpr uint8_t kEven = 1;
constexpr uint8_t kOdd = 2;

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

// A bitonic network over n keys (a power of two): the order of its compares never depends on
// the keys, so the picks cost no mispredicted branches.
template <int n>
void sortKeys(uint64_t* keys) {
  for (int k = 2; k <= n; k <<= 1) {
    for (int j = k >> 1; j > 0; j >>= 1) {
      for (int i = 0; i < n; ++i) {
        const int l = (i ^ j) & (n - 1);
        if (l <= i) continue;
        const uint64_t a = keys[i], b = keys[l];
        const uint64_t low = a < b ? a : b, high = a < b ? b : a;
        const bool ascending = (i & k) == 0;
        keys[i] = ascending ? low : high;
        keys[l] = ascending ? high : low;
      }
    }
  }
}

// A level set as the search's loop reads it.
struct SetView {
  const Level* levels;
  const uint16_t* countUpTo;
  uint32_t last;  // the index of the largest level
};

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
    switch (sorted) {
      case 8:
        sortKeys<8>(keys);
        break;
      case 16:
        sortKeys<16>(keys);
        break;
      case 32:
        sortKeys<32>(keys);
        break;
      default:
        sortKeys<64>(keys);
    }
    size_ = 0;
    for (int j = 0; j < count && size_ < width; ++j) {
      const Step& picked = candidates[keys[j] & kIndexMask];
      const uint64_t state = picked.hypothesis.state();
      bool seen = false;
      for (int i = 0; i < size_; ++i) seen |= steps_[i].hypothesis.state() == state;
      if (!seen) steps_[size_++] = picked;
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

// Where a channel's settled samples go: the reconstruction at the samples' own indices, and the
// symbols they code.
struct Settled {
  int16_t* reconstruction;
  size_t firstIndex;
  uint32_t channels;
  SymbolCounts& counts;
  size_t upTo = 0;  // the samples before it are settled

  // Settles the hypothesis in slot at t, from t back to upTo.
  void settle(Traceback& traceback, size_t t, int slot) {
    for (size_t u = t + 1; u-- > upTo;) {
      const Node& node = traceback.at(u, slot);
      reconstruction[firstIndex + u * channels] = node.reconstructed;
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
  SetView even, odd;
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
      out[count] = {held, {p.reconstructed, static_cast<uint8_t>(slot), kHeld, 0}};
      return count + 1;
    }
    const uint8_t allowed = sets[p.context];
    if (allowed == (kEven | kOdd)) {
      count = takeAround(even, p, slot, x, run, out, count);
      return takeAround(odd, p, slot, x, run, out, count);
    }
    return takeAround(allowed == kEven ? even : odd, p, slot, x, run, out, count);
  }

 private:
  // The allowed levels either side of the target, where they keep a 16-bit sample: below it the
  // largest at most the target (or, with none, the smallest the other way), above it the next.
  [[gnu::always_inline]] int takeAround(const SetView& set, const Hypothesis& p, int slot,
                                        int16_t x, RunAhead& run, Step* out, int count) const {
    const int32_t target = int32_t{x} - p.reconstructed;
    const bool negative = target < 0;
    const uint32_t m = negative ? 0u - static_cast<uint32_t>(target) : target;
    const auto room = [&p](bool down) {
      return static_cast<uint32_t>(down ? p.reconstructed + 32768 : 32767 - p.reconstructed);
    };
    const uint32_t below = set.countUpTo[m];
    const bool under = below > 0;
    count = take(set.levels[under ? below - 1 : 0], under ? negative : !negative, p, slot, x, run,
                 out, count, under || set.levels[0].magnitude <= room(!negative));
    const Level& over = set.levels[std::min(below, set.last)];
    return take(over, negative, p, slot, x, run, out, count,
                below <= set.last && over.magnitude <= room(negative));
  }

  [[gnu::always_inline]] int take(const Level& level, bool down, const Hypothesis& p, int slot,
                                  int16_t x, RunAhead& run, Step* out, int count,
                                  bool valid) const {
    const int32_t step = down ? -int32_t{level.magnitude} : int32_t{level.magnitude};
    const auto r = static_cast<int16_t>(p.reconstructed + step);
    const bool turnsDown = down && level.magnitude != 0;
    const int symbol = symbolOf(level.bin, turnsDown != p.lastNegative);
    const int64_t e = int64_t{x} - r;
    Hypothesis child{p.cost + ClassSearch::kErrorScale * e * e +
                         rate[size_t{p.context} * kSymbolColumns + symbol],
                     r, level.bin, turnsDown, 0};
    if (runWidth > 0 && level.bin == 0 && p.context == 0) child.runLength = run.length();
    out[count] = {child, {r, static_cast<uint8_t>(slot), static_cast<uint8_t>(symbol), p.context}};
    return count + (valid ? 1 : 0);
  }
};

}  // namespace

ClassSearch::ClassSearch(const UniformTable& table, int runWidth, uint32_t channels, int width)
    : runWidth_(runWidth),
      channels_(channels),
      width_(std::clamp(width, 1, kWidest)),
      rate_(size_t{kContextCount} * kSymbolColumns, 0) {
  for (int b = 0; b < kBinCount; ++b) {
    if (b > table.singleLevels()) {
      sets_[b] = kEven | kOdd;
    } else {
      sets_[b] = b % 4 == 0 || b % 4 == 3 ? kEven : kOdd;
    }
  }
  for (const Level& level : table.levels()) {
    const bool tail = level.bin > table.singleLevels();
    if (tail || level.bin % 2 == 0) even_.levels.push_back(level);
    if (tail || level.bin % 2 == 1) odd_.levels.push_back(level);
  }
  for (Levels* set : {&even_, &odd_}) {
    set->countUpTo = std::make_unique<uint16_t[]>(kMaxMagnitude + 1);
    size_t count = 0;
    for (uint32_t m = 0; m <= kMaxMagnitude; ++m) {
      while (count < set->levels.size() && set->levels[count].magnitude <= m) ++count;
      set->countUpTo[m] = static_cast<uint16_t>(count);
    }
  }
}

template <typename Set>
SetView viewOf(const Set& set) {
  return {set.levels.data(), set.countUpTo.get(), static_cast<uint32_t>(set.levels.size() - 1)};
}

void ClassSearch::weighRates(const RateCosts& rateCosts) {
  rate_.assign(&rateCosts[0][0], &rateCosts[0][0] + kContextCount * kSymbolColumns);
}

void ClassSearch::searchChannel(const uint8_t* first, const uint8_t* from, const uint8_t* to,
                                const uint8_t* end, uint32_t c, const TargetState& start,
                                int16_t* reconstruction, SymbolCounts& counts) const {
  const size_t stride = 2 * size_t{channels_};
  const size_t samples = static_cast<size_t>(to - from) / stride;
  const uint8_t* base = from + 2 * size_t{c};
  if (samples == 0) return;
  Traceback traceback;
  Settled settled{reconstruction, static_cast<size_t>(base - first) / 2, channels_, counts};
  // Plain views of the tables, which the loop's stores cannot alias.
  const Extension extension{viewOf(even_), viewOf(odd_), rate_.data(), sets_, runWidth_};
  Beam beam;
  Step candidates[kMostCandidates];
  candidates[0] = {{0, start.reconstructed, start.context, start.lastNegative, start.runLength},
                   {start.reconstructed, 0, kHeld, 0}};
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
  }
  const size_t before = settled.upTo;
  settled.settle(traceback, samples - 1, 0);
  advance(meter_, samples - before);
}

}  // namespace qxw
