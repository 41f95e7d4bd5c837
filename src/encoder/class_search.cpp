#include "encoder/class_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "encoder/key_sort.h"
#include "format/frame_pieces.h"

namespace qxw {

namespace {

constexpr uint8_t kEven = LevelClasses::kEven;
constexpr uint8_t kOdd = LevelClasses::kOdd;

// Decisions older than this many samples behind the newest are settled on the cheapest hypothesis;
// hypotheses that disagree with it there are dropped.
constexpr size_t kDecisionDelay = 1024;
constexpr size_t kSettleEvery = 1024;
static_assert(kDecisionDelay == kSettleEvery);
constexpr size_t kRing = 4096;   // at least kDecisionDelay + kSettleEvery + 1, a power of two
constexpr uint8_t kHeld = 0xFF;  // no symbol: a sample inside a run
// A sound's second half is searched from a guess this many frames before its seam.
constexpr size_t kHalfWarmUp = 32768;

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

// A hypothesis's sample as the traceback keeps it: eight bytes, a 64-bit lane's worth.
struct Node {
  int16_t reconstructed;
  uint8_t parent;   // the hypothesis's slot at the sample before
  uint8_t symbol;   // coded in the context before, or kHeld
  uint8_t context;  // the context the symbol was coded in
  uint8_t choice;   // the path's choice that reached it (0 inside a run)
  uint8_t origin;   // its forebear's slot at the sample last marked
  uint8_t unused = 0;
};
static_assert(sizeof(Node) == 8);

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

// A beam as far as it decides the search's future: its hypotheses' costs, relative to the
// cheapest, and states, in order. Two searches whose beams are alike after the same sample, and
// whose settling keeps the same pace, go on alike.
struct BeamSnapshot {
  int size = 0;
  int64_t cost[ClassSearch::kWidest] = {};
  TargetState state[ClassSearch::kWidest] = {};

  bool operator==(const BeamSnapshot& other) const {
    if (size != other.size) return false;
    for (int i = 0; i < size; ++i) {
      const TargetState &a = state[i], &b = other.state[i];
      if (cost[i] != other.cost[i] || a.reconstructed != b.reconstructed ||
          a.context != b.context || a.lastNegative != b.lastNegative ||
          a.runLength != b.runLength) {
        return false;
      }
    }
    return true;
  }
};

// The surviving hypotheses of one sample, cheapest first, each state once.
class Beam {
 public:
  int size() const { return size_; }
  Hypothesis& operator[](int i) { return steps_[i].hypothesis; }
  const Node& node(int i) const { return steps_[i].node; }
  const Step& step(int i) const { return steps_[i]; }
  // Marks the hypotheses' slots as their descendants' origins.
  void markOrigins() {
    for (int i = 0; i < size_; ++i) steps_[i].node.origin = static_cast<uint8_t>(i);
  }

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

  // Holds the snapshot's hypotheses, their nodes left to the sample before to give.
  void resume(const BeamSnapshot& snapshot) {
    size_ = snapshot.size;
    for (int i = 0; i < size_; ++i) {
      const TargetState& st = snapshot.state[i];
      steps_[i].hypothesis = {snapshot.cost[i], st.reconstructed, st.context, st.lastNegative,
                              st.runLength};
    }
    markOrigins();
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
  // slotsShift: log2 of the slots a sample keeps, as many as the beam may hold.
  explicit Traceback(int slotsShift) : shift_(slotsShift), ring_(kRing << slotsShift) {}
  Node& at(size_t t, int slot) { return row(t)[slot]; }
  // The slots of sample t.
  Node* row(size_t t) { return &ring_[(t & (kRing - 1)) << shift_]; }
  void store(size_t t, const Beam& beam) {
    for (int i = 0; i < beam.size(); ++i) at(t, i) = beam.node(i);
  }

 private:
  int shift_;
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
  uint64_t noise = 0;   // 2^31 samples of squares below 2^32 fit
  size_t upTo = 0;      // the samples before it are settled
  size_t emitFrom = 0;  // the samples before it are another search's to give
  // The hypotheses' states after the last checkpoint's sample, by slot, until it is settled: a
  // checkpoint is settled long before the next is reached.
  size_t pendingAt = ~size_t{0};
  TargetState pending[ClassSearch::kWidest];
  static_assert(SearchedPath::kCheckpointFrames > kDecisionDelay + kSettleEvery);

  // Keeps the beam's states where the sample at t ends a stretch of checkpoint frames.
  template <typename AnyBeam>
  void markCheckpoint(size_t t, AnyBeam& beam) {
    if (path == nullptr || (firstFrame + t + 1) % SearchedPath::kCheckpointFrames != 0) return;
    pendingAt = t;
    for (int i = 0; i < beam.size(); ++i) pending[i] = beam.stateAt(i);
  }

  // Settles the hypothesis in slot at t, from t back to upTo.
  // Returns how many samples it gave.
  size_t settle(Traceback& traceback, size_t t, int slot) {
    const size_t given = t + 1 - std::clamp(upTo, emitFrom, t + 1);
    for (size_t u = t + 1; u-- > std::max(upTo, emitFrom);) {
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
    return given;
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

  // Adds what the parent, in slot, leads to at input x to `out` from `count` on; the new count.
  [[gnu::always_inline]] int extend(const Step& parent, int slot, int16_t x, RunAhead& run,
                                    Step* out, int count) const {
    const Hypothesis& p = parent.hypothesis;
    const uint8_t origin = parent.node.origin;
    if (p.runLength > 0) {
      const int64_t e = int64_t{x} - p.reconstructed;
      Hypothesis held = p;
      held.cost += ClassSearch::kErrorScale * e * e;
      --held.runLength;
      out[count] = {held, {p.reconstructed, static_cast<uint8_t>(slot), kHeld, 0, 0, origin}};
      return count + 1;
    }
    const uint8_t allowed = sets[p.context];
    const Parent from{p, static_cast<uint8_t>(slot), origin};
    if (allowed == (kEven | kOdd)) {
      count = takeAround(even, 0, from, x, run, out, count);
      return takeAround(odd, SearchedPath::kOdd, from, x, run, out, count);
    }
    return allowed == kEven ? takeAround(even, 0, from, x, run, out, count)
                            : takeAround(odd, SearchedPath::kOdd, from, x, run, out, count);
  }

 private:
  // A hypothesis being extended, its slot and its origin.
  struct Parent {
    const Hypothesis& hypothesis;
    uint8_t slot, origin;
  };

  // The allowed levels either side of the target, where they keep a 16-bit sample; `set` is the
  // choice's bit that names their set.
  [[gnu::always_inline]] int takeAround(const LevelClasses::Set& levels, uint8_t set,
                                        const Parent& from, int16_t x, RunAhead& run, Step* out,
                                        int count) const {
    const Bracket bracket = bracketOf(levels, from.hypothesis.reconstructed, x);
    count = take(bracket.below, set, from, x, run, out, count);
    return take(bracket.above, set | SearchedPath::kAbove, from, x, run, out, count);
  }

  [[gnu::always_inline]] int take(const LevelStep& taken, uint8_t choice, const Parent& from,
                                  int16_t x, RunAhead& run, Step* out, int count) const {
    const Hypothesis& p = from.hypothesis;
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
                  {r, from.slot, static_cast<uint8_t>(symbol), p.context, choice, from.origin}};
    return count + (taken.valid ? 1 : 0);
  }
};

// The search's step from sample to sample, one hypothesis at a time: every hypothesis extended by
// the sample, the cheapest distinct ones kept, their nodes stored, their costs made relative to
// the cheapest.
class PlainBeam {
 public:
  PlainBeam(const Extension& extension, int width) : extension_(extension), width_(width) {}
  static constexpr int kSlotsShift = 4;
  static_assert(ClassSearch::kWidest == 1 << kSlotsShift);

  int size() const { return beam_.size(); }
  TargetState stateAt(int i) {
    const Hypothesis& h = beam_[i];
    return {h.reconstructed, h.context, h.lastNegative, h.runLength};
  }
  BeamSnapshot snapshot() {
    BeamSnapshot snapshot;
    snapshot.size = beam_.size();
    for (int i = 0; i < snapshot.size; ++i) {
      snapshot.cost[i] = beam_[i].cost;
      snapshot.state[i] = stateAt(i);
    }
    return snapshot;
  }
  void resume(const BeamSnapshot& snapshot) { beam_.resume(snapshot); }

  void start(const TargetState& state) {
    Step& first = candidates_[0];
    first = {{0, state.reconstructed, state.context, state.lastNegative, state.runLength},
             {state.reconstructed, 0, kHeld, 0, 0, 0}};
    beam_.choose(candidates_, 1, 1);
  }

  void step(int16_t x, RunAhead& run, Traceback& traceback, size_t t) {
    int count = 0;
    for (int i = 0; i < beam_.size(); ++i) {
      count = extension_.extend(beam_.step(i), i, x, run, candidates_, count);
    }
    beam_.choose(candidates_, count, width_);
    traceback.store(t, beam_);
    // Costs are kept relative to the cheapest hypothesis, so that they never overflow.
    const int64_t cheapest = beam_[0].cost;
    for (int i = 0; i < beam_.size(); ++i) beam_[i].cost -= cheapest;
  }

  void keepOnly(const bool* keep, Traceback& traceback, size_t t) {
    beam_.keepOnly(keep);
    traceback.store(t, beam_);
  }

  // Each hypothesis's forebear's slot at the sample last marked, by slot.
  void origins(int* slots) const {
    for (int i = 0; i < beam_.size(); ++i) slots[i] = beam_.node(i).origin;
  }
  void markOrigins() { beam_.markOrigins(); }

 private:
  const Extension& extension_;
  int width_;
  Beam beam_;
  Step candidates_[kMostCandidates];
};

#ifdef QXW_VECTORS

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

// The same step for beams of up to four hypotheses, in 64-bit lanes, the beam's cost, state and
// node kept in vectors from sample to sample. Where every hypothesis may take one level set only,
// lane 2i holds the step of hypothesis i to the level below its target and lane 2i + 1 the one
// above, in that set: eight candidates. Where one may take either set (after a tail step), lane
// 4i + 2s + a of two vectors holds hypothesis i's step in set s (0 even, 1 odd), below or above:
// sixteen. A held hypothesis's one candidate takes its first lane. A candidate's lane is its index
// in the plain step's order, so that equal costs keep that order.
//
// A lane's state is the hypothesis's state word (reconstruction, context, sign, run), with the
// level sets its context allows in bits 25 and 26: a function of the context, so that two states
// are equal exactly when their words are.
class LaneBeam {
 public:
  static constexpr int kWidest = 4;
  static constexpr int kSlotsShift = 2;

  struct Tables {
    const uint64_t* brackets;  // by set and magnitude: below in the low half, above in the high
    uint32_t lastMagnitude;    // the brackets of larger magnitudes are this one's
    const int64_t* rate;
    const uint8_t* sets;
    int runWidth;
  };

  LaneBeam(const Tables& tables, int width) : tables_(tables), width_(width) {}

  int size() const { return size_; }
  [[gnu::target("avx512f")]] TargetState stateAt(int i) const {
    uint64_t words[8];
    _mm512_storeu_si512(words, state_);
    const uint64_t w = words[i];
    return {static_cast<int16_t>(w & 0xFFFF), static_cast<uint8_t>(w >> 16 & 0xFF),
            (w >> 24 & 1) != 0, static_cast<uint32_t>(w >> 32)};
  }

  [[gnu::target("avx512f")]] BeamSnapshot snapshot() const {
    BeamSnapshot snapshot;
    snapshot.size = size_;
    int64_t costs[8];
    _mm512_storeu_si512(costs, cost_);
    for (int i = 0; i < size_; ++i) {
      snapshot.cost[i] = costs[i];
      snapshot.state[i] = stateAt(i);
    }
    return snapshot;
  }
  [[gnu::target("avx512f")]] void resume(const BeamSnapshot& snapshot) {
    int64_t costs[8] = {};
    uint64_t states[8] = {};
    for (int i = 0; i < snapshot.size; ++i) {
      const TargetState& st = snapshot.state[i];
      const Hypothesis h{0, st.reconstructed, st.context, st.lastNegative, st.runLength};
      costs[i] = snapshot.cost[i];
      states[i] = h.state() | uint64_t{tables_.sets[st.context]} << 25;
    }
    size_ = snapshot.size;
    cost_ = _mm512_loadu_si512(costs);
    state_ = _mm512_loadu_si512(states);
    node_ = _mm512_setzero_si512();
    markOrigins();
  }

  [[gnu::target("avx512f")]] void start(const TargetState& state) {
    const Hypothesis first{0, state.reconstructed, state.context, state.lastNegative,
                           state.runLength};
    size_ = 1;
    cost_ = _mm512_setzero_si512();
    state_ = _mm512_set1_epi64(
        static_cast<int64_t>(first.state() | uint64_t{tables_.sets[state.context]} << 25));
    node_ = _mm512_set1_epi64(static_cast<int64_t>(
        std::bit_cast<uint64_t>(Node{state.reconstructed, 0, kHeld, 0, 0, 0})));
  }

  [[gnu::target("avx512f")]] void step(int16_t x, RunAhead& run, Traceback& traceback, size_t t) {
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const auto live = static_cast<__mmask8>((1u << (2 * size_)) - 1);
    const Parents parents = parentsOf(_mm512_srli_epi64(lane, 1), live);
    const __mmask8 either =
        _mm512_mask_cmpeq_epi64_mask(live & ~parents.held, parents.sets, _mm512_set1_epi64(3));
    if (either == 0) {
      pickOfEight(extend(parents, _mm512_srli_epi64(parents.sets, 1), 0xFF, 0x55, lane, x, run));
    } else {
      pickOfSixteen(extendInEitherSet(x, run));
    }
    storeNodes(traceback, t);
    // Costs are kept relative to the cheapest hypothesis, so that they never overflow.
    cost_ = _mm512_sub_epi64(cost_, _mm512_permutexvar_epi64(_mm512_setzero_si512(), cost_));
  }

  [[gnu::target("avx512f")]] void keepOnly(const bool* keep, Traceback& traceback, size_t t) {
    unsigned mask = 0;
    for (int i = 0; i < size_; ++i) mask |= keep[i] ? 1u << i : 0u;
    const auto kept = static_cast<__mmask8>(mask);
    cost_ = _mm512_maskz_compress_epi64(kept, cost_);
    state_ = _mm512_maskz_compress_epi64(kept, state_);
    node_ = _mm512_maskz_compress_epi64(kept, node_);
    size_ = __builtin_popcount(mask);
    storeNodes(traceback, t);
  }

  [[gnu::target("avx512f")]] void origins(int* slots) const {
    uint64_t words[8];
    _mm512_storeu_si512(words, node_);
    for (int i = 0; i < size_; ++i) slots[i] = static_cast<int>(words[i] >> kOriginShift & 0xFF);
  }
  [[gnu::target("avx512f")]] void markOrigins() {
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    node_ = _mm512_or_si512(_mm512_andnot_si512(_mm512_set1_epi64(kOriginMask), node_),
                            _mm512_slli_epi64(lane, kOriginShift));
  }

 private:
  static constexpr int kOriginShift = 8 * offsetof(Node, origin);
  static constexpr uint64_t kOriginMask = uint64_t{0xFF} << kOriginShift;

  // Each lane's hypothesis, and what the step needs of it.
  struct Parents {
    __m512i hypothesis, state, cost, node, reconstructed, context, sets;
    __mmask8 live, held, negative;
  };
  // Each lane's candidate, valid where it exists, keeps a 16-bit sample and its set is allowed;
  // its key is its capped cost and its index, all ones where it is not valid.
  struct Children {
    __m512i cost, key, state, node;
    __mmask8 valid;
  };

  [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i field(__m512i v, int shift,
                                                                             uint64_t mask) {
    return _mm512_and_si512(_mm512_srli_epi64(v, shift), _mm512_set1_epi64(mask));
  }

  // The beam's nodes as the traceback keeps them at sample t.
  [[gnu::target("avx512f"), gnu::always_inline]] inline void storeNodes(Traceback& traceback,
                                                                        size_t t) const {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(traceback.row(t)),
                        _mm512_castsi512_si256(node_));
  }

  // The lanes `shift` lanes on, the last ones wrapping around to the first.
  [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i rotation(int shift) {
    return _mm512_and_si512(
        _mm512_add_epi64(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0), _mm512_set1_epi64(shift)),
        _mm512_set1_epi64(7));
  }

  [[gnu::target("avx512f"), gnu::always_inline]] inline Parents parentsOf(__m512i hypothesis,
                                                                          __mmask8 live) const {
    Parents p;
    p.hypothesis = hypothesis;
    p.live = live;
    p.state = _mm512_permutexvar_epi64(hypothesis, state_);
    p.cost = _mm512_permutexvar_epi64(hypothesis, cost_);
    p.node = _mm512_permutexvar_epi64(hypothesis, node_);
    p.reconstructed = _mm512_srai_epi64(_mm512_slli_epi64(p.state, 48), 48);
    p.context = field(p.state, 16, 0xFF);
    p.sets = field(p.state, 25, 3);
    p.held = _mm512_mask_test_epi64_mask(live, p.state, _mm512_set1_epi64(~0ull << 32));
    p.negative = _mm512_test_epi64_mask(p.state, _mm512_set1_epi64(1 << 24));
    return p;
  }

  // The candidates of the parents' lanes in each lane's level set `set` (1 for the odd levels),
  // where `allowed` says it may follow; the level above the target in the odd lanes, below in the
  // even ones. A held parent's candidate goes in the lanes of `heldLanes`.
  [[gnu::target("avx512f"), gnu::always_inline]] inline Children extend(
      const Parents& p, __m512i set, __mmask8 allowed, __mmask8 heldLanes, __m512i index, int16_t x,
      RunAhead& run) const {
    constexpr __mmask8 kAbove = 0xAA, kBelow = 0x55;
    const __mmask8 stepping = p.live & ~p.held;
    const __m512i r = p.reconstructed;
    // The bracket of the target in the set, and its half for the lane's side.
    const __m512i xs = _mm512_set1_epi64(x);
    const __m512i target = _mm512_sub_epi64(xs, r);
    const __mmask8 negative = _mm512_cmplt_epi64_mask(target, _mm512_setzero_si512());
    const __m512i m =
        _mm512_min_epu64(_mm512_abs_epi64(target), _mm512_set1_epi64(tables_.lastMagnitude));
    const __m512i at = _mm512_mask_add_epi64(m, _mm512_test_epi64_mask(set, set), m,
                                             _mm512_set1_epi64(tables_.lastMagnitude + 1));
    const __m512i bracket =
        _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), stepping, at, tables_.brackets, 8);
    const __m512i half = _mm512_mask_srli_epi64(
        _mm512_and_si512(bracket, _mm512_set1_epi64(0xFFFFFFFF)), kAbove, bracket, 32);
    const __m512i magnitude = field(half, 0, 0xFFFF);
    const __m512i bin = field(half, 16, 0xFF);
    // Below the target the smallest level turns where none is small enough; above it, the level
    // is missing where none is large enough.
    const __mmask8 flagged = _mm512_test_epi64_mask(half, _mm512_set1_epi64(1 << 24));
    const __mmask8 down = negative ^ (flagged & kBelow);
    const __m512i room = _mm512_mask_sub_epi64(_mm512_sub_epi64(_mm512_set1_epi64(32767), r), down,
                                               r, _mm512_set1_epi64(-32768));
    const __mmask8 fits = _mm512_cmple_epu64_mask(magnitude, room) & ~(flagged & kAbove);
    const __m512i stepped =
        _mm512_mask_sub_epi64(_mm512_add_epi64(r, magnitude), down, r, magnitude);
    const __mmask8 turnsDown = down & _mm512_test_epi64_mask(magnitude, magnitude);
    const __mmask8 turned = (turnsDown ^ p.negative) & _mm512_test_epi64_mask(bin, bin);
    const __m512i symbol = _mm512_mask_add_epi64(bin, turned, bin, _mm512_set1_epi64(31));
    const __m512i rate = _mm512_mask_i64gather_epi64(
        _mm512_setzero_si512(), stepping, _mm512_add_epi64(_mm512_slli_epi64(p.context, 6), symbol),
        tables_.rate, 8);

    // A held hypothesis stays where it is, a sample nearer its run's end.
    const __m512i reconstructed = _mm512_mask_mov_epi64(stepped, p.held, r);
    const __m512i e = _mm512_sub_epi64(xs, reconstructed);
    static_assert(ClassSearch::kErrorScale == 16);
    Children c;
    c.cost = _mm512_add_epi64(p.cost, _mm512_add_epi64(_mm512_slli_epi64(_mm512_mul_epi32(e, e), 4),
                                                       _mm512_maskz_mov_epi64(stepping, rate)));
    __m512i runs = _mm512_setzero_si512();
    if (tables_.runWidth > 0) {
      const __mmask8 opens = _mm512_mask_testn_epi64_mask(stepping & fits, bin, bin) &
                             _mm512_testn_epi64_mask(p.context, p.context);
      if (opens != 0) runs = _mm512_maskz_set1_epi64(opens, run.length());
    }
    const __m512i low = _mm512_set1_epi64(0xFFFF);
    c.state = _mm512_or_si512(
        _mm512_or_si512(_mm512_and_si512(reconstructed, low), _mm512_slli_epi64(bin, 16)),
        _mm512_or_si512(_mm512_maskz_mov_epi64(turnsDown, _mm512_set1_epi64(1 << 24)),
                        _mm512_or_si512(_mm512_slli_epi64(field(half, 25, 3), 25),
                                        _mm512_slli_epi64(runs, 32))));
    c.state = _mm512_mask_sub_epi64(c.state, p.held, p.state, _mm512_set1_epi64(int64_t{1} << 32));
    // The path's choice: kOdd for the odd set, kAbove for the level above.
    static_assert(SearchedPath::kOdd == 2 && SearchedPath::kAbove == 1);
    const __m512i inSet = _mm512_slli_epi64(set, 1);
    const __m512i choice = _mm512_mask_or_epi64(inSet, kAbove, inSet, _mm512_set1_epi64(1));
    const __m512i parent = _mm512_slli_epi64(p.hypothesis, 16);
    c.node = _mm512_or_si512(_mm512_or_si512(_mm512_and_si512(reconstructed, low), parent),
                             _mm512_or_si512(_mm512_slli_epi64(symbol, 24),
                                             _mm512_or_si512(_mm512_slli_epi64(p.context, 32),
                                                             _mm512_slli_epi64(choice, 40))));
    c.node =
        _mm512_mask_or_epi64(c.node, p.held, _mm512_and_si512(r, low),
                             _mm512_or_si512(parent, _mm512_set1_epi64(uint64_t{kHeld} << 24)));
    // Every child keeps its parent's origin.
    c.node = _mm512_ternarylogic_epi64(c.node, p.node, _mm512_set1_epi64(kOriginMask), 0xF8);
    c.valid = p.live & ((fits & allowed & ~p.held) | (p.held & heldLanes));
    const __m512i capped = _mm512_min_epu64(c.cost, _mm512_set1_epi64((int64_t{1} << 57) - 1));
    c.key =
        _mm512_mask_or_epi64(_mm512_set1_epi64(-1), c.valid, _mm512_slli_epi64(capped, 6), index);
    return c;
  }

  // Sixteen candidates in two vectors: those of hypotheses 0 and 1, then of 2 and 3.
  [[gnu::target("avx512f"), gnu::always_inline]] inline std::array<Children, 2> extendInEitherSet(
      int16_t x, RunAhead& run) const {
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i set = _mm512_and_si512(_mm512_srli_epi64(lane, 1), _mm512_set1_epi64(1));
    // Bit s of a parent's sets allows set s.
    const __m512i setBit = _mm512_sllv_epi64(_mm512_set1_epi64(1), set);
    std::array<Children, 2> children;
    for (int v = 0; v < 2; ++v) {
      const int hypotheses = std::clamp(size_ - 2 * v, 0, 2);
      const auto live = static_cast<__mmask8>((1u << (4 * hypotheses)) - 1);
      const Parents parents =
          parentsOf(_mm512_add_epi64(_mm512_srli_epi64(lane, 2), _mm512_set1_epi64(2 * v)), live);
      const __mmask8 allowed = _mm512_test_epi64_mask(parents.sets, setBit);
      children[v] = extend(parents, set, allowed, 0x11,
                           _mm512_add_epi64(lane, _mm512_set1_epi64(8 * v)), x, run);
    }
    return children;
  }

  // The lanes whose state no lane before holds: each pair of lanes is compared once, the later
  // of the two being the one that repeats.
  [[gnu::target("avx512f"), gnu::always_inline]] static inline __mmask8 firstOfEach(
      __m512i states) {
    unsigned repeated = 0;
#pragma GCC unroll 4
    for (int shift = 1; shift <= 4; ++shift) {
      // Lane j against lane j + shift, which comes later unless it wrapped around.
      const unsigned same =
          _mm512_cmpeq_epi64_mask(states, _mm512_permutexvar_epi64(rotation(shift), states));
      const unsigned unwrapped = (1u << (8 - shift)) - 1;
      repeated |= (same & unwrapped) << shift | (same & ~unwrapped);
    }
    return static_cast<__mmask8>(~repeated);
  }

  // The new beam: the first `width` candidates of distinct states in the order of their keys.
  // A candidate whose state comes earlier in that order goes; each pair of lanes is compared
  // once, the later of the two in the order being the one that goes.
  [[gnu::target("avx512f"), gnu::always_inline]] inline void pickOfEight(const Children& c) {
    const __m512i order = _mm512_and_si512(sortLanes(c.key), _mm512_set1_epi64(7));
    const auto valid = static_cast<unsigned>(__builtin_popcount(c.valid));
    const auto kept = static_cast<__mmask8>(firstOfEach(_mm512_permutexvar_epi64(order, c.state)) &
                                            ((1u << valid) - 1));
    const __m512i picks = _mm512_maskz_compress_epi64(kept, order);
    size_ = std::min(__builtin_popcount(kept), width_);
    cost_ = _mm512_permutexvar_epi64(picks, c.cost);
    state_ = _mm512_permutexvar_epi64(picks, c.state);
    node_ = _mm512_permutexvar_epi64(picks, c.node);
  }

  // The same of sixteen candidates, in two vectors. The first `width` distinct states are most
  // often among the eight cheapest candidates: those are sorted and compared first, and the
  // eight dearer ones only where they hold fewer.
  [[gnu::target("avx512f"), gnu::always_inline]] inline void pickOfSixteen(
      const std::array<Children, 2>& c) {
    // The halves sorted, one ascending and the other descending: the lesser of each pair of lanes
    // across them are the eight cheapest, the greater the eight dearest, each in an order that
    // three steps sort.
    const __m512i ascending = sortLanes(c[0].key), descending = sortLanesDescending(c[1].key);
    const __m512i index = _mm512_set1_epi64(15);
    const __m512i order =
        _mm512_and_si512(sortBitonic(_mm512_min_epu64(ascending, descending)), index);
    const __m512i states = _mm512_permutex2var_epi64(c[0].state, order, c[1].state);
    const auto valid =
        static_cast<unsigned>(__builtin_popcount(c[0].valid) + __builtin_popcount(c[1].valid));
    const auto first =
        static_cast<__mmask8>(firstOfEach(states) & ((1u << std::min(valid, 8u)) - 1));
    const int found = __builtin_popcount(first);
    if (found >= width_ || valid <= 8) {
      size_ = std::min(found, width_);
      return take(c, _mm512_maskz_compress_epi64(first, order));
    }
    // Every one of the eight cheapest is valid here: a dearer one is kept where its state is
    // none of theirs, nor that of a dearer one before it.
    const __m512i later =
        _mm512_and_si512(sortBitonic(_mm512_max_epu64(ascending, descending)), index);
    const __m512i laterStates = _mm512_permutex2var_epi64(c[0].state, later, c[1].state);
    unsigned cheaper = 0;
#pragma GCC unroll 8
    for (int shift = 0; shift < 8; ++shift) {
      cheaper |=
          _mm512_cmpeq_epi64_mask(laterStates, _mm512_permutexvar_epi64(rotation(shift), states));
    }
    const auto second =
        static_cast<__mmask8>(firstOfEach(laterStates) & ~cheaper & ((1u << (valid - 8)) - 1));
    // The picks of the cheapest, then those of the dearer ones.
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i from =
        _mm512_mask_add_epi64(lane, _mm512_cmpge_epi64_mask(lane, _mm512_set1_epi64(found)), lane,
                              _mm512_set1_epi64(8 - found));
    size_ = std::min(found + __builtin_popcount(second), width_);
    take(c, _mm512_permutex2var_epi64(_mm512_maskz_compress_epi64(first, order), from,
                                      _mm512_maskz_compress_epi64(second, later)));
  }

  // The candidates of the lanes picked, of either vector, as the new beam.
  [[gnu::target("avx512f"), gnu::always_inline]] inline void take(const std::array<Children, 2>& c,
                                                                  __m512i picks) {
    cost_ = _mm512_permutex2var_epi64(c[0].cost, picks, c[1].cost);
    state_ = _mm512_permutex2var_epi64(c[0].state, picks, c[1].state);
    node_ = _mm512_permutex2var_epi64(c[0].node, picks, c[1].node);
  }

  Tables tables_;
  int width_;
  int size_ = 0;
  __m512i cost_, state_, node_;
};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// A channel's samples to search: `samples` of them from base, runs looking ahead up to end, from
// the state given; what they settle goes to settled.
struct ChannelJob {
  const uint8_t* base;
  size_t samples;
  const uint8_t* end;
  TargetState start;
  Settled* settled;
  // A search taken up again: from this sample on, its beam before it the snapshot's.
  size_t firstSample = 0;
  const BeamSnapshot* resumed = nullptr;
  // Where the beam after one sample is kept; a search whose last samples are another's to settle
  // leaves them.
  size_t keptAfter = ~size_t{0};
  BeamSnapshot* kept = nullptr;
  bool settlesItsEnd = true;
  ProgressMeter* meter = nullptr;  // told the samples it gives
};

// What every search of a call shares.
struct SearchFrame {
  size_t stride;
  int runWidth;
};

// Sample t of a channel's search: the beam moved on by it, and now and then the samples
// kDecisionDelay behind settled on the cheapest hypothesis; those that disagree with it there go.
template <typename AnyBeam>
[[gnu::always_inline]] inline void searchSample(AnyBeam& beam, Traceback& traceback,
                                                const ChannelJob& job, const SearchFrame& frame,
                                                size_t t) {
  Settled& settled = *job.settled;
  const uint8_t* at = job.base + t * frame.stride;
  const int16_t x = readSample(at);
  RunAhead run{at, job.end, frame.stride, x, frame.runWidth};
  beam.step(x, run, traceback, t);
  if (t + 1 - settled.upTo >= kDecisionDelay + kSettleEvery) {
    // The slots at `until`, where the last settling marked them.
    int slots[ClassSearch::kWidest] = {};
    beam.origins(slots);
    const size_t until = t - kDecisionDelay;
    bool keep[ClassSearch::kWidest];
    for (int i = 0; i < beam.size(); ++i) keep[i] = slots[i] == slots[0];
    advance(job.meter, settled.settle(traceback, until, slots[0]));
    beam.keepOnly(keep, traceback, t);
  }
  // The next settling, kDecisionDelay samples on, traces the beam back to here.
  if (t + 1 - settled.upTo == kDecisionDelay) beam.markOrigins();
  settled.markCheckpoint(t, beam);
  if (t == job.keptAfter) *job.kept = beam.snapshot();
}

template <typename AnyBeam>
inline void startSearch(AnyBeam& beam, const ChannelJob& job) {
  if (job.resumed != nullptr) {
    beam.resume(*job.resumed);
  } else {
    beam.start(job.start);
  }
}

// The last samples of a search, settled on its cheapest hypothesis.
inline void settleRest(Traceback& traceback, const ChannelJob& job) {
  if (job.settlesItsEnd) advance(job.meter, job.settled->settle(traceback, job.samples - 1, 0));
}

// The search of one channel, a sample at a time, on either beam.
template <typename AnyBeam>
inline void searchWith(AnyBeam& beam, const ChannelJob& job, const SearchFrame& frame) {
  Traceback traceback(AnyBeam::kSlotsShift);
  startSearch(beam, job);
  for (size_t t = job.firstSample; t < job.samples; ++t) {
    searchSample(beam, traceback, job, frame, t);
  }
  settleRest(traceback, job);
}

// Two searches side by side from their first samples, a sample of each in turn: each step of a
// search waits on the one before, and the other search's step fills that wait.
template <typename AnyBeam>
inline void searchSideBySide(AnyBeam& first, const ChannelJob& firstJob, AnyBeam& second,
                             const ChannelJob& secondJob, const SearchFrame& frame) {
  Traceback firstTrace(AnyBeam::kSlotsShift), secondTrace(AnyBeam::kSlotsShift);
  startSearch(first, firstJob);
  startSearch(second, secondJob);
  const size_t both = std::min(firstJob.samples, secondJob.samples);
  for (size_t t = 0; t < both; ++t) {
    searchSample(first, firstTrace, firstJob, frame, t);
    searchSample(second, secondTrace, secondJob, frame, t);
  }
  for (size_t t = both; t < firstJob.samples; ++t) {
    searchSample(first, firstTrace, firstJob, frame, t);
  }
  for (size_t t = both; t < secondJob.samples; ++t) {
    searchSample(second, secondTrace, secondJob, frame, t);
  }
  settleRest(firstTrace, firstJob);
  settleRest(secondTrace, secondJob);
}

}  // namespace

#ifdef QXW_VECTORS
namespace {
// Whether the machine has the lanes, whatever the tests want of the vectors.
bool lanesOnMachine() {
  static const bool available = __builtin_cpu_supports("avx512f");
  return available;
}
}  // namespace
#endif

ClassSearch::ClassSearch(const UniformTable& table, int runWidth, uint32_t channels, int width)
    : runWidth_(runWidth),
      channels_(channels),
      width_(std::clamp(width, 1, kWidest)),
      rate_(size_t{kContextCount} * kSymbolColumns, 0),
      classes_(table) {
#ifdef QXW_VECTORS
  if (width_ <= LaneBeam::kWidest && lanesOnMachine()) makeBrackets();
#endif
}

// By set and magnitude m up to the largest level's, the two levels around m as the lanes read
// them: each half a level's magnitude, its bin from bit 16, a flag in bit 24 (below: no level is
// small enough, so the smallest turns; above: none is large enough) and the sets that may follow
// it from bit 25.
void ClassSearch::makeBrackets() {
  const LevelClasses::Set sets[2] = {classes_.even(), classes_.odd()};
  lastMagnitude_ =
      std::max(sets[0].levels[sets[0].last].magnitude, sets[1].levels[sets[1].last].magnitude);
  const auto half = [&](const Level& level, bool flag) {
    return uint64_t{level.magnitude} | uint64_t{level.bin} << 16 | uint64_t{flag} << 24 |
           uint64_t{classes_.allowed()[level.bin]} << 25;
  };
  brackets_.resize(2 * (size_t{lastMagnitude_} + 1));
  for (size_t s = 0; s < 2; ++s) {
    for (uint32_t m = 0; m <= lastMagnitude_; ++m) {
      const Around around = aroundOf(sets[s], m);
      brackets_[s * (lastMagnitude_ + 1) + m] =
          half(*around.below, around.belowTurns) | half(*around.above, around.aboveMissing) << 32;
    }
  }
}

void ClassSearch::weighRates(const RateCosts& rateCosts) {
  rate_.assign(&rateCosts[0][0], &rateCosts[0][0] + kContextCount * kSymbolColumns);
}

namespace {

#ifdef QXW_VECTORS
// One search, or two side by side.
[[gnu::target("avx512f"), gnu::flatten]] void searchInLanes(const LaneBeam::Tables& tables,
                                                            int width, const ChannelJob* jobs,
                                                            int count, const SearchFrame& frame) {
  LaneBeam first(tables, width), second(tables, width);
  if (count == 2) return searchSideBySide(first, jobs[0], second, jobs[1], frame);
  searchWith(first, jobs[0], frame);
}
#endif

void searchPlainly(const Extension& extension, int width, const ChannelJob* jobs, int count,
                   const SearchFrame& frame) {
  PlainBeam first(extension, width), second(extension, width);
  if (count == 2) return searchSideBySide(first, jobs[0], second, jobs[1], frame);
  searchWith(first, jobs[0], frame);
}

}  // namespace

uint64_t ClassSearch::searchChannel(const uint8_t* first, const uint8_t* from, const uint8_t* to,
                                    const uint8_t* end, uint32_t c, const TargetState& start,
                                    SearchedPath* path, SymbolCounts& counts) const {
  const Stretch stretch[1] = {{from, to, end, c, start}};
  return searchStretches(first, stretch, path, counts)[0];
}

struct ClassSearchRunner {
  static void run(const ClassSearch& search, const ChannelJob* jobs, int count) {
    if (count == 0) return;
    const SearchFrame frame{2 * size_t{search.channels_}, search.runWidth_};
#ifdef QXW_VECTORS
    if (!search.brackets_.empty() && wideVectorsAvailable()) {
      const LaneBeam::Tables tables{search.brackets_.data(), search.lastMagnitude_,
                                    search.rate_.data(), search.classes_.allowed(),
                                    search.runWidth_};
      return searchInLanes(tables, search.width_, jobs, count, frame);
    }
#endif
    const LevelClasses& classes = search.classes_;
    const Extension extension{classes.even(), classes.odd(), search.rate_.data(), classes.allowed(),
                              search.runWidth_};
    searchPlainly(extension, search.width_, jobs, count, frame);
  }
};

std::array<uint64_t, 2> ClassSearch::searchStretches(const uint8_t* first,
                                                     std::span<const Stretch> stretches,
                                                     SearchedPath* path,
                                                     SymbolCounts& counts) const {
  const size_t stride = 2 * size_t{channels_};
  std::array<Settled, 2> settled{{{path, 0, 0, nullptr, stride, counts, 0, 0, 0, ~size_t{0}, {}},
                                  {path, 0, 0, nullptr, stride, counts, 0, 0, 0, ~size_t{0}, {}}}};
  ChannelJob jobs[2];
  int count = 0;
  for (size_t k = 0; k < stretches.size() && k < 2; ++k) {
    const Stretch& stretch = stretches[k];
    const size_t samples = static_cast<size_t>(stretch.to - stretch.from) / stride;
    if (samples == 0) continue;
    const uint8_t* base = stretch.from + 2 * size_t{stretch.channel};
    settled[k].channel = stretch.channel;
    settled[k].firstFrame = static_cast<size_t>(stretch.from - first) / stride;
    settled[k].input = base;
    jobs[count] = {base, samples, stretch.end, stretch.start, &settled[k]};
    jobs[count++].meter = meter_;
  }
  ClassSearchRunner::run(*this, jobs, count);
  return {settled[0].noise, settled[1].noise};
}

uint64_t ClassSearch::searchInHalves(const uint8_t* first, const uint8_t* end, uint32_t c,
                                     SearchedPath* path, SymbolCounts& counts,
                                     unsigned threads) const {
  const size_t stride = 2 * size_t{channels_};
  const size_t frames = static_cast<size_t>(end - first) / stride;
  if (frames < 8 * kHalfWarmUp) {
    return searchChannel(first, first, end, end, c, TargetState{}, path, counts);
  }
  // The seam lies on a checkpoint, so that the halves' choices share no byte of the path, and
  // the second half's settling keeps the first's pace from its guess on.
  static_assert(SearchedPath::kCheckpointFrames % kSettleEvery == 0 &&
                kHalfWarmUp % kSettleEvery == 0 && kHalfWarmUp >= kDecisionDelay + kSettleEvery);
  const size_t seam = (frames + kHalfWarmUp) / 2 / SearchedPath::kCheckpointFrames *
                      SearchedPath::kCheckpointFrames;
  const size_t guessed = seam - kHalfWarmUp;
  const uint8_t* base = first + 2 * size_t{c};
  // The first half goes on until it has settled the samples before the seam; the second, from
  // its guess, gives the samples from the seam on, counted apart until its beam at the seam is
  // found to be the first half's.
  auto secondCounts = std::make_unique<CountsOf>();
  Settled firstHalf{path, c, 0, base, stride, counts, 0, 0, 0, ~size_t{0}, {}};
  Settled secondHalf{
      path,        c,          guessed, base + guessed * stride, stride, secondCounts->counts, 0, 0,
      kHalfWarmUp, ~size_t{0}, {}};
  BeamSnapshot exact, guess;
  ChannelJob halves[2] = {
      {base, seam + kDecisionDelay, end, TargetState{}, &firstHalf},
      {base + guessed * stride, frames - guessed, end,
       guessedStates({first, end}, first + guessed * stride, channels_)[c], &secondHalf}};
  halves[0].keptAfter = seam - 1, halves[0].kept = &exact, halves[0].settlesItsEnd = false;
  halves[0].meter = meter_;
  halves[1].keptAfter = kHalfWarmUp - 1, halves[1].kept = &guess;
  // The halves write different bytes of the path and count apart, so they may go on threads
  // of their own where the channel has two.
  if (threads >= 2) {
    onThreads(2, [&](size_t k) { ClassSearchRunner::run(*this, &halves[k], 1); });
  } else {
    ClassSearchRunner::run(*this, halves, 2);
  }
  if (guess == exact) {
    for (int x = 0; x < kContextCount; ++x) {
      for (int y = 0; y < kSymbolColumns; ++y) counts[x][y] += secondCounts->counts[x][y];
    }
    advance(meter_, frames - seam);
    return firstHalf.noise + secondHalf.noise;
  }
  // The guess missed: the second half searched again from the first's beam at the seam.
  const size_t resumed = seam - kDecisionDelay;
  Settled again{path,           c,          resumed, base + resumed * stride, stride, counts, 0, 0,
                kDecisionDelay, ~size_t{0}, {}};
  ChannelJob rest{base + resumed * stride, frames - resumed, end, TargetState{}, &again};
  rest.firstSample = kDecisionDelay, rest.resumed = &exact, rest.meter = meter_;
  ClassSearchRunner::run(*this, &rest, 1);
  return firstHalf.noise + again.noise;
}

}  // namespace qxw
