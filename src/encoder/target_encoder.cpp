#include "encoder/target_encoder.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "encoder/piece_driver.h"
#include "encoder/target_fields.h"
#include "encoder/target_lanes.h"
#include "format/reconstruction_digest.h"
#include "format/vector_support.h"

namespace qxw {

namespace {

// The level chosen for sample x: the nearest to the whole difference, or the largest that keeps
// the reconstruction a 16-bit sample. The table's answers by their own pointers, which a loop
// keeps in registers where a reference to the table would be read again after every store.
struct NearestLevel {
  const SignedLevel* nearest;
  const Level* atMost;
  explicit NearestLevel(const UniformTable& table)
      : nearest(table.nearestSteps()), atMost(&table.atMost(0)) {}
  [[gnu::always_inline]] SignedLevel operator()(const TargetState& st, int16_t x, size_t) const {
    const int32_t target = int32_t{x} - st.reconstructed;
    const SignedLevel level = nearest[target];
    const auto after = static_cast<uint32_t>(st.reconstructed + level.step + 32768);
    return after > 65535 ? held(st.reconstructed, target) : level;
  }
  // The largest level within the room to the rail in the target's direction. The reconstruction
  // is taken by value, so that the walk's state need not be kept in memory for it.
  [[gnu::always_inline]] SignedLevel held(int32_t reconstructed, int32_t target) const {
    const bool negative = target < 0;
    const Level& level = atMost[negative ? 32768 + reconstructed : 32767 - reconstructed];
    return {negative ? -int32_t{level.magnitude} : level.magnitude, level.offset, level.bin};
  }
};

// The same from the table packed four bytes to a step, which keeps more of it in the nearest
// cache: the walk's chain waits on that load at every sample. The offset follows from the step
// and its bin, off the chain.
struct PackedNearestLevel {
  NearestLevel rails;
  const int32_t* packed;
  const UniformTable& table;
  PackedNearestLevel(const UniformTable& table, const LaneSteps& steps)
      : rails(table), packed(steps.bySignedTarget()), table(table) {}
  [[gnu::always_inline]] SignedLevel operator()(const TargetState& st, int16_t x, size_t) const {
    const int32_t target = int32_t{x} - st.reconstructed;
    const int32_t entry = packed[target];
    const int32_t step = entry >> 8;
    const auto after = static_cast<uint32_t>(st.reconstructed + step + 32768);
    if (after > 65535) [[unlikely]] {
      return rails.held(st.reconstructed, target);
    }
    const int bin = entry & 0xFF;
    const auto magnitude = static_cast<uint32_t>(step < 0 ? -step : step);
    return {step, static_cast<uint16_t>(table.offsetOf(bin, magnitude)), static_cast<uint8_t>(bin)};
  }
};

// The level the searched path chose at a sample, found again from the walk's state: its step by
// signed target, packed as the path keeps it, the offset following from the step and its bin.
struct SearchedStep {
  const int32_t* steps;
  const UniformTable& table;
  explicit SearchedStep(const TargetWalk& walk)
      : steps(walk.searched->packedStepsAt(0)), table(walk.table) {}
  [[gnu::always_inline]] SignedLevel operator()(unsigned choice, int32_t target) const {
    const int32_t entry =
        steps[static_cast<ptrdiff_t>(choice * (2 * size_t{kMaxMagnitude} + 1)) + target];
    const int32_t step = entry >> 8;
    const int bin = entry & 0xFF;
    return {step, static_cast<uint16_t>(table.offsetOf(bin, static_cast<uint32_t>(std::abs(step)))),
            static_cast<uint8_t>(bin)};
  }
};

struct SearchedChoice {
  SearchedStep step;
  const SearchedPath& path;
  uint32_t channels;
  explicit SearchedChoice(const TargetWalk& walk)
      : step(walk), path(*walk.searched), channels(walk.channels) {}
  // A division by a constant is a multiplication, where one by a variable would be the walk's
  // slowest step.
  [[gnu::always_inline]] size_t frameOf(size_t index) const {
    static_assert(kMaxChannels == 6);
    switch (channels) {
      case 1:
        return index;
      case 2:
        return index / 2;
      case 3:
        return index / 3;
      case 4:
        return index / 4;
      case 5:
        return index / 5;
      default:
        return index / 6;
    }
  }
  [[gnu::always_inline]] SignedLevel operator()(const TargetState& st, int16_t x,
                                                size_t index) const {
    const size_t frame = frameOf(index);
    const uint8_t choice = path.at(static_cast<uint32_t>(index - frame * channels), frame);
    return step(choice, int32_t{x} - st.reconstructed);
  }
};

// The same for one channel's chain, its samples numbered from a frame on: no division finds a
// sample's frame, and the choices are read from the channel's own row.
struct SearchedChannelChoice {
  SearchedStep step;
  const uint8_t* choices;  // 2 bits a frame, four to a byte
  size_t firstFrame;
  SearchedChannelChoice(const TargetWalk& walk, uint32_t channel, size_t firstFrame)
      : step(walk), choices(walk.searched->row(channel)), firstFrame(firstFrame) {}
  [[gnu::always_inline]] SignedLevel operator()(const TargetState& st, int16_t x, size_t n) const {
    const size_t frame = firstFrame + n;
    return step((choices[frame / 4] >> 2 * (frame % 4)) & 3, int32_t{x} - st.reconstructed);
  }
};

// One sample of walkFrames, inlined into each of its loops.
template <typename Choose, typename Code, typename Record>
[[gnu::always_inline]] inline void walkSample(TargetState& st, const uint8_t* at,
                                              const uint8_t* first, const uint8_t* end,
                                              size_t stride, int runWidth, Choose& choose,
                                              Code& code, Record& record) {
  const int16_t x = readSample(at);
  if (st.runLength > 0) {
    --st.runLength;
    record(st, x);
    return;
  }
  const SignedLevel level = choose(st, x, static_cast<size_t>(at - first) / 2);
  st.reconstructed = static_cast<int16_t>(st.reconstructed + level.step);
  const bool down = level.step < 0;
  const int symbol = level.bin + (31 & -int{(level.bin != 0) & (down != st.lastNegative)});
  if (runWidth > 0 && level.bin == 0 && st.context == 0) {
    st.runLength = repeatsAfter(at, end, stride, x, runWidth);
  }
  code(st, symbol, level);
  st.context = level.bin;
  st.lastNegative = down;
  record(st, x);
}

// Walks the frames of [from, to), runs looking ahead up to end, choosing each level with
// choose(st, x, index from the range's start); code(st, symbol, level) is called for
// every coded sample before the state moves on, and record(st, x) for every sample.
// The states are copied in for the walk, where the counts' and the output's stores cannot alias
// them, and copied back at the end.
template <typename Choose, typename Code, typename Record>
void walkFrames(const TargetWalk& walk, const uint8_t* first, const uint8_t* from,
                const uint8_t* to, const uint8_t* end, TargetState* states, Choose choose,
                Code code, Record record) {
  const uint32_t channels = walk.channels;
  const int runWidth = walk.runWidth;
  const size_t stride = 2 * size_t{channels};
  if (channels == 2) {
    // Two named states rather than an array, which the compiler keeps in memory: the chains of
    // the two channels then overlap.
    TargetState left = states[0], right = states[1];
    for (const uint8_t* at = from; at < to; at += 4) {
      walkSample(left, at, first, end, stride, runWidth, choose, code, record);
      walkSample(right, at + 2, first, end, stride, runWidth, choose, code, record);
    }
    states[0] = left;
    states[1] = right;
    return;
  }
  TargetState local[kMaxChannels];
  std::copy_n(states, channels, local);
  for (const uint8_t* at = from; at < to;) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      walkSample(local[c], at, first, end, stride, runWidth, choose, code, record);
    }
  }
  std::copy_n(local, channels, states);
}

// The walk with the level choice it calls for: nearest, or the searched reconstruction's.
template <typename Code, typename Record>
void walkChosen(const TargetWalk& walk, const uint8_t* first, const uint8_t* from,
                const uint8_t* to, const uint8_t* end, TargetState* states, Code code,
                Record record) {
  if (walk.searched == nullptr) {
    walkFrames(walk, first, from, to, end, states, NearestLevel(walk.table), code, record);
  } else {
    walkFrames(walk, first, from, to, end, states, SearchedChoice(walk), code, record);
  }
}

// The fields of a coded sample: its code and what follows it, in one field where they fit in 32
// bits; the second is 0 where there is none.
struct SampleFields {
  uint64_t first;
  uint64_t second;
};

[[gnu::always_inline]] inline SampleFields fieldsOf(const TargetWalk& walk,
                                                    const EncoderModel& model,
                                                    const TargetState& st, int symbol,
                                                    const SignedLevel& level) {
  const auto length = static_cast<uint32_t>(model.codeLength[st.context][symbol]);
  const uint32_t word = model.codeWord[st.context][symbol];
  // A run's count follows the zero symbol of context 0, the level's offset any other.
  const auto extra = static_cast<uint32_t>(level.bin == 0 ? (st.context == 0 ? walk.runWidth : 0)
                                                          : walk.table.bits(level.bin));
  const uint32_t value = level.bin == 0 ? st.runLength : level.offset;
  if (length + extra <= 32) {
    return {
        uint64_t{length + extra} << 32 | static_cast<uint32_t>((uint64_t{word} << extra) | value),
        0};
  }
  return {uint64_t{length} << 32 | word, uint64_t{extra} << 32 | value};
}

}  // namespace

void countTargetSymbols(const TargetWalk& walk, SampleRange samples, TargetState* states,
                        SymbolCounts& counts) {
  walkChosen(
      walk, samples.begin, samples.begin, samples.end, samples.end, states,
      [&counts](const TargetState& st, int symbol, const SignedLevel&) {
        ++counts[st.context][symbol];
      },
      [](const TargetState&, int16_t) {});
}

namespace {

// What a written stretch of frames measured, exactly: 2^31 samples of squares below 2^32 fit.
struct Written {
  uint64_t signal = 0;
  uint64_t noise = 0;
  uint64_t digest = 0;
  Written& operator+=(const Written& other) {
    signal += other.signal;
    noise += other.noise;
    digest += other.digest;
    return *this;
  }
};

// What `count` samples `stride` bytes apart from `at` measure against their reconstruction
// `kept`; the digest only when asked, the first sample at index `first` of the sound, the others
// `step` after each other.
[[gnu::always_inline]] inline Written measured(const uint8_t* at, size_t stride,
                                               const int16_t* kept, size_t count, uint64_t first,
                                               uint64_t step, bool digest) {
  Written written;
  for (size_t i = 0; i < count; ++i) {
    const int64_t x = readSample(at + i * stride);
    const int64_t difference = x - kept[i];
    written.signal += static_cast<uint64_t>(x * x);
    written.noise += static_cast<uint64_t>(difference * difference);
  }
  if (digest) {
    for (size_t i = 0; i < count; ++i) written.digest += digestTerm(first + i * step, kept[i]);
  }
  return written;
}

// Writes the frames of [from, to) from the channel states (moved past them) with the model's
// codes, keeping what the recording asks at the samples' own positions.
Written writeFrames(const TargetWalk& walk, const EncoderModel& model, BitWriter& writer,
                    SampleRange samples, const uint8_t* from, const uint8_t* to,
                    TargetState* states, const Recording& recording) {
  Written written;
  // A block's fields, packed into words after its walk, so that the walk's chain and the
  // packing's do not wait on each other: a coded sample gives at most two. Its reconstruction
  // is measured after the walk too, in a loop of its own.
  constexpr size_t kBlockFrames = 1024;
  std::vector<uint64_t> fields(2 * kBlockFrames * walk.channels);
  std::vector<int16_t> block(kBlockFrames * walk.channels);
  Fields<true> out{};
  const auto code = [&](const TargetState& st, int symbol, const SignedLevel& level) {
    const SampleFields fields = fieldsOf(walk, model, st, symbol, level);
    out.add(fields.first);
    if (fields.second != 0) out.add(fields.second);
  };
  int16_t* kept = nullptr;
  const auto record = [&](const TargetState& st, int16_t) { *kept++ = st.reconstructed; };
  const size_t stride = 2 * size_t{walk.channels};
  while (from < to) {
    const size_t frames = std::min(kBlockFrames, static_cast<size_t>(to - from) / stride);
    if (frames == 0) break;
    const uint8_t* next = from + frames * stride;
    out.next = fields.data();
    kept = block.data();
    walkChosen(walk, samples.begin, from, next, samples.end, states, code, record);
    const uint64_t first = static_cast<uint64_t>(from - samples.begin) / 2;
    const size_t count = frames * walk.channels;
    written += measured(from, 2, block.data(), count, first, 1, recording.digest != nullptr);
    if (recording.samples != nullptr) std::copy_n(block.data(), count, recording.samples + first);
    // None of the rest could reach a failed output.
    if (!packFields(writer, fields.data(), out.next)) break;
    from = next;
  }
  return written;
}

// A round's fields for its packing, a sample's in 32 bits where they fit, so that the thread that
// packs them reads a quarter of what it would from another thread's cache; the side list has
// room for two fields of every sample of the round.
struct ChannelRound {
  uint32_t* packed;  // by frame
  int16_t* kept;     // by frame: the reconstruction
  uint64_t* side;
};

// The chain alone: walks the samples of a channel from `at` to `to` from its state (moved past
// them), leaving each sample's entry and reconstruction and adding what they measure to
// `measured` (the digest aside); returns how many it walked. The fields follow in a loop of their
// own, where nothing waits on the sample before. choose(st, x, n) is given the sample's number n
// from `at` on. Without runs the loop asks nothing about them. After every kStretch samples it
// calls between(), whose work the machine does while the chain waits on its loads, as it does
// the measuring.
constexpr size_t kStretch = 8;

template <bool kRuns, typename Choose, typename Between>
size_t chainChannel(Choose choose, int runWidth, SampleRange samples, const uint8_t* at,
                    const uint8_t* to, size_t stride, TargetState& state, uint32_t* entries,
                    int16_t* kept, Written& measured, Between& between) {
  TargetState st = state;
  uint64_t signal = 0, noise = 0;
  const auto measure = [&](int16_t x) {
    const int64_t difference = int64_t{x} - st.reconstructed;
    signal += static_cast<uint64_t>(int64_t{x} * x);
    noise += static_cast<uint64_t>(difference * difference);
  };
  const size_t count = static_cast<size_t>(to - at + static_cast<ptrdiff_t>(stride) - 1) / stride;
  for (size_t done = 0; done < count;) {
    const size_t stretch = std::min(kStretch, count - done);
    for (size_t i = 0; i < stretch; ++i, at += stride, ++entries, ++kept) {
      const int16_t x = readSample(at);
      if (kRuns && st.runLength > 0) {
        --st.runLength;
        *entries = kHeldEntry;
        *kept = st.reconstructed;
        measure(x);
        continue;
      }
      const SignedLevel level = choose(st, x, done + i);
      st.reconstructed = static_cast<int16_t>(st.reconstructed + level.step);
      uint32_t entry = static_cast<uint32_t>(level.step) << 8 | level.bin;
      if constexpr (kRuns) {
        // A run opens only where the next sample repeats this one: asked first, the branch is
        // rare.
        const uint8_t* next = at + stride;
        if (level.bin == 0 && st.context == 0 && next < samples.end && readSample(next) == x)
            [[unlikely]] {
          st.runLength = repeatsAfter(at, samples.end, stride, x, runWidth);
          entry = st.runLength << 8;
        }
        st.context = level.bin;
      }
      *entries = entry;
      *kept = st.reconstructed;
      measure(x);
    }
    done += stretch;
    between();
  }
  state = st;
  measured.signal += signal;
  measured.noise += noise;
  return count;
}

// Walks the samples of a channel from `at` to `to` from its state (moved past them) into the
// round, measuring and calling between() as chainChannel does.
template <typename Choose, typename Between>
void walkChannelWith(Choose choose, const TargetWalk& walk, const FieldCodes& codes,
                     SampleRange samples, const uint8_t* at, const uint8_t* to, TargetState& state,
                     ChannelRound round, Written& measured, Between& between) {
  const size_t stride = 2 * size_t{walk.channels};
  FieldCodes::Position position{state.context, state.lastNegative};
  const size_t count = walk.runWidth > 0
                           ? chainChannel<true>(choose, walk.runWidth, samples, at, to, stride,
                                                state, round.packed, round.kept, measured, between)
                           : chainChannel<false>(choose, 0, samples, at, to, stride, state,
                                                 round.packed, round.kept, measured, between);
  codes.turn(round.packed, count, position, round.side);
  // The context and sign follow from the fields.
  state.context = position.context;
  state.lastNegative = position.lastNegative;
}

// Walks channel c of the frames [from, to) into the round, the nearest levels from the packed
// steps where no searched reconstruction is given; returns what it measured.
template <typename Between>
Written walkChannel(const TargetWalk& walk, const LaneSteps* steps, const FieldCodes& codes,
                    SampleRange samples, const uint8_t* from, const uint8_t* to, uint32_t c,
                    TargetState& state, bool digest, const ChannelRound& round, Between& between) {
  const size_t stride = 2 * size_t{walk.channels};
  const uint8_t* channelFrom = from + 2 * c;
  Written written;
  if (walk.searched == nullptr) {
    walkChannelWith(PackedNearestLevel(walk.table, *steps), walk, codes, samples, channelFrom, to,
                    state, round, written, between);
  } else {
    const SearchedChannelChoice choose(walk, c, static_cast<size_t>(from - samples.begin) / stride);
    walkChannelWith(choose, walk, codes, samples, channelFrom, to, state, round, written, between);
  }
  if (digest) {
    const size_t count = static_cast<size_t>(to - from) / stride;
    const auto first = static_cast<uint64_t>(channelFrom - samples.begin) / 2;
    for (size_t i = 0; i < count; ++i) {
      written.digest += digestTerm(first + i * walk.channels, round.kept[i]);
    }
  }
  return written;
}

inline uint64_t unpacked(uint32_t packed) {
  return uint64_t{packed >> kPackedShift} << 32 | (packed & ((1u << kPackedShift) - 1));
}

// A round's fields as the walks of its channels left them.
struct RoundFields {
  const uint32_t* packed;
  const uint64_t* sides;
  size_t span;  // from one channel's fields to the next's
  uint32_t channels;
};

// Packs frames [from, to) of a round into the cursor, frame by frame, each channel's side
// fields from next[c] on (moved past them).
template <uint32_t kChannels>
[[gnu::always_inline]] inline void packFramesOf(BitCursor& out, const RoundFields& round,
                                                size_t from, size_t to, size_t* next) {
  const uint32_t channels = kChannels != 0 ? kChannels : round.channels;
  const uint32_t* packed = round.packed;
  const size_t span = round.span;
  const auto one = [&](uint32_t c, size_t i) {
    const uint32_t fields = packed[c * span + i];
    if (fields != kSideFields) [[likely]] {
      out.put(unpacked(fields));
      return;
    }
    const uint64_t* side = round.sides + next[c];
    next[c] += 2;
    out.put(side[0]);
    if (side[1] != 0) out.put(side[1]);
  };
  for (size_t i = from; i < to; ++i) {
    if constexpr (kChannels == 2) {
      const uint32_t left = packed[i], right = packed[span + i];
      if (left != kSideFields && right != kSideFields) [[likely]] {
        out.putPair(unpacked(left), unpacked(right));
        continue;
      }
    }
    for (uint32_t c = 0; c < channels; ++c) one(c, i);
  }
}

void packFramesPlainly(BitCursor& out, const RoundFields& round, size_t from, size_t to,
                       size_t* next) {
  if (round.channels == 2) return packFramesOf<2>(out, round, from, to, next);
  packFramesOf<0>(out, round, from, to, next);
}

#ifdef QXW_VECTORS
[[gnu::target("bmi2")]] void packFramesWithRegisterShifts(BitCursor& out, const RoundFields& round,
                                                          size_t from, size_t to, size_t* next) {
  if (round.channels == 2) return packFramesOf<2>(out, round, from, to, next);
  packFramesOf<0>(out, round, from, to, next);
}
#endif

// Packs frames [from, to) of a round into a writer a stretch at a time, so that the walk of the
// next round can pack it between its own samples: the walk's chain leaves the machine idle while
// it waits on its loads, and the packing's chain is a chain of its own.
class RoundPacker {
 public:
  RoundPacker(BitWriter& writer, const RoundFields& round, size_t from, size_t to)
      : writer_(writer),
        round_(round),
        at_(from),
        to_(to),
        out_(writer.open(2 * (to - from) * round.channels)) {
    // Where each channel's side fields for the first frame are.
    for (uint32_t c = 0; c < round.channels; ++c) {
      const uint32_t* packed = round.packed + c * round.span;
      next_[c] = 2 * c * round.span +
                 2 * static_cast<size_t>(std::count(packed, packed + from, kSideFields));
    }
  }
  RoundPacker(const RoundPacker&) = delete;
  RoundPacker& operator=(const RoundPacker&) = delete;

  // Packs up to `frames` more frames.
  void pack(size_t frames) {
    const size_t end = std::min(to_, at_ + frames);
    if (at_ == end) return;
#ifdef QXW_VECTORS
    // The cursor's chain is its shifts: with the machine's best ones, where it has them.
    if (registerShiftsAvailable()) {
      packFramesWithRegisterShifts(out_, round_, at_, end, next_);
    } else {
      packFramesPlainly(out_, round_, at_, end, next_);
    }
#else
    packFramesPlainly(out_, round_, at_, end, next_);
#endif
    at_ = end;
  }
  // Packs what is left, and gives the writer its cursor back.
  void finish() {
    pack(to_ - at_);
    writer_.close(out_);
  }

 private:
  BitWriter& writer_;
  RoundFields round_;
  size_t at_, to_;
  size_t next_[kMaxChannels] = {};
  BitCursor out_;
};

// A round's walk leaves its fields and reconstruction here, while the round before is packed
// from the other set.
struct RoundBuffers {
  std::unique_ptr<uint32_t[]> packed;
  std::unique_ptr<int16_t[]> kept;
  std::unique_ptr<uint64_t[]> sides;
  // Nothing is read before the walk writes it: the pages are had as the walks first touch them,
  // on their own threads, and the side lists' mostly never.
  RoundBuffers(size_t span, uint32_t channels)
      : packed(new uint32_t[span * channels]),
        kept(new int16_t[span * channels]),
        sides(new uint64_t[2 * span * channels]) {}
  ChannelRound channel(uint32_t c, size_t span) const {
    return {packed.get() + c * span, kept.get() + c * span, sides.get() + 2 * c * span};
  }
};

// Writes the frames from the channel states (moved past them) in rounds: the channels of a round
// are walked on threads of their own, as nothing chains one channel's walk to another's. Two of
// those threads pack the round before as they walk, its first half straight into the writer, its
// second half apart, to follow.
Written writeByChannels(const TargetWalk& walk, const EncoderModel& model, BitWriter& writer,
                        SampleRange samples, TargetState* states, const Recording& recording,
                        unsigned threads) {
  constexpr size_t kRoundFrames = size_t{1} << 17;
  const uint32_t channels = walk.channels;
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(samples.end - samples.begin) / stride;
  const size_t span = std::min(kRoundFrames, frames);
  const RoundBuffers buffers[2] = {{span, channels}, {span, channels}};
  const std::unique_ptr<LaneSteps> steps =
      walk.searched == nullptr ? std::make_unique<LaneSteps>(walk.table) : nullptr;
  const auto codes = std::make_unique<FieldCodes>(model, walk.table, walk.runWidth);
  PieceBits secondHalf(span * channels * 2);
  const size_t workers = std::min<size_t>(threads, channels);
  std::vector<Written> parts(workers);
  // The round before: its first frame and its frames, none before the first round.
  size_t packing = 0, packingFrames = 0;
  for (size_t round = 0, done = 0;; ++round) {
    const size_t n = std::min(span, frames - done);
    if (n == 0 && packingFrames == 0) break;
    const uint8_t* from = samples.begin + done * stride;
    const RoundBuffers& walking = buffers[round % 2];
    const RoundBuffers& before = buffers[(round + 1) % 2];
    const RoundFields fields{before.packed.get(), before.sides.get(), span, channels};
    onThreads(workers, [&](size_t k) {
      // Threads 0 and 1 pack a half of the round before each.
      const size_t half = packingFrames / 2;
      const size_t first = k == 0 ? 0 : half, last = k == 0 ? half : packingFrames;
      const bool packs = k < 2 && first < last;
      if (packs && recording.samples != nullptr) {
        int16_t* into = recording.samples + (packing + first) * channels;
        for (size_t i = first; i < last; ++i) {
          for (uint32_t c = 0; c < channels; ++c) *into++ = before.kept[c * span + i];
        }
      }
      std::optional<RoundPacker> packer;
      if (packs) packer.emplace(k == 0 ? writer : secondHalf.restart(), fields, first, last);
      // The packing spread over the thread's samples, a stretch's share after each stretch.
      const size_t walked = n * ((channels - k + workers - 1) / workers);
      const size_t share = walked == 0 ? 0 : ((last - first) * kStretch + walked - 1) / walked;
      const auto between = [&] {
        if (packer) packer->pack(share);
      };
      for (auto c = static_cast<uint32_t>(k); c < channels && n > 0;
           c += static_cast<uint32_t>(workers)) {
        parts[k] +=
            walkChannel(walk, steps.get(), *codes, samples, from, from + n * stride, c, states[c],
                        recording.digest != nullptr, walking.channel(c, span), between);
      }
      if (packer) packer->finish();
    });
    if (packingFrames > 0) {
      secondHalf.appendTo(writer);
      advance(model.meter, packingFrames);
      if (writer.failed()) break;  // none of the rest could reach the output
    }
    packing = done, packingFrames = n;
    done += n;
  }
  Written sum;
  for (const Written& part : parts) sum += part;
  return sum;
}

// The target walk as the piece driver takes it. The whole difference the walk corrects does not
// forget where it started as the levels' feedback does: two walks meet only when a level spacing
// happens to bridge them, which fine steps, rails and silence make likely and coarse steps rare,
// so the pieces pay on fine steps and cost nothing on coarse ones. They share out a single
// channel, which the channels' own threads cannot.
struct TargetPieceWalk {
  using State = TargetState;
  using Result = Written;
  static constexpr size_t kWarmUpFrames = 8192;

  const TargetWalk& walk;
  const EncoderModel& model;
  SampleRange samples;
  const Recording& recording;

  Written write(TargetState* states, const uint8_t* from, const uint8_t* to, BitWriter& writer,
                bool) const {
    return writeFrames(walk, model, writer, samples, from, to, states, recording);
  }
  static bool enough(const Written&) { return false; }
  // A searched path's states are known at its checkpoints, and walked on from the one before;
  // otherwise the reader holding the previous input sample.
  std::vector<TargetState> guess(const uint8_t* at) const {
    if (walk.searched == nullptr) return guessedStates(samples, at, walk.channels);
    const size_t stride = 2 * size_t{walk.channels};
    const size_t k =
        static_cast<size_t>(at - samples.begin) / stride / SearchedPath::kCheckpointFrames;
    std::vector<TargetState> states(walk.channels);
    for (uint32_t c = 0; c < walk.channels; ++c) states[c] = walk.searched->checkpoint(c, k);
    skip(states.data(), samples.begin + k * SearchedPath::kCheckpointFrames * stride, at);
    return states;
  }
  void skip(TargetState* states, const uint8_t* from, const uint8_t* to) const {
    skipTargetFrames(walk, samples, states, from, to);
  }
  static bool same(const TargetState& a, const TargetState& b) {
    return a.reconstructed == b.reconstructed && a.context == b.context &&
           a.lastNegative == b.lastNegative && a.runLength == b.runLength;
  }
};

}  // namespace

void skipTargetFrames(const TargetWalk& walk, SampleRange samples, TargetState* states,
                      const uint8_t* from, const uint8_t* to) {
  walkChosen(
      walk, samples.begin, from, to, samples.end, states,
      [](const TargetState&, int, const SignedLevel&) {}, [](const TargetState&, int16_t) {});
}

long double measureTargetNoise(const TargetWalk& walk, SampleRange samples, unsigned threads) {
  uint64_t noise = 0;  // 2^31 samples of squares below 2^32 fit
  const auto measure = [&noise](const TargetState& st, int16_t x) {
    const int64_t difference = int64_t{x} - st.reconstructed;
    noise += static_cast<uint64_t>(difference * difference);
  };
  const size_t workers = std::min<size_t>(std::max(threads, 1u), walk.channels);
  if (workers < 2) {
    std::vector<TargetState> states(walk.channels);
    walkChosen(
        walk, samples.begin, samples.begin, samples.end, samples.end, states.data(),
        [](const TargetState&, int, const SignedLevel&) {}, measure);
    return static_cast<long double>(noise);
  }
  // Nothing chains one channel's walk to another's: the channels go on threads of their own,
  // each walked as the bare chain the writing walks, a stretch at a time into a scratch round.
  std::vector<uint64_t> noises(walk.channels);
  const LaneSteps steps(walk.table);
  const PackedNearestLevel nearest(walk.table, steps);
  const size_t stride = 2 * size_t{walk.channels};
  onThreads(workers, [&](size_t k) {
    constexpr size_t kScratchFrames = 4096;
    std::vector<uint32_t> entries(kScratchFrames);
    std::vector<int16_t> kept(kScratchFrames);
    const auto nothing = [] {};
    for (auto c = static_cast<uint32_t>(k); c < walk.channels;
         c += static_cast<uint32_t>(workers)) {
      TargetState st;
      Written measured;
      for (const uint8_t* at = samples.begin + 2 * c; at < samples.end;) {
        const uint8_t* to = static_cast<size_t>(samples.end - at) > kScratchFrames * stride
                                ? at + kScratchFrames * stride
                                : samples.end;
        if (walk.runWidth > 0) {
          chainChannel<true>(nearest, walk.runWidth, samples, at, to, stride, st, entries.data(),
                             kept.data(), measured, nothing);
        } else {
          chainChannel<false>(nearest, 0, samples, at, to, stride, st, entries.data(), kept.data(),
                              measured, nothing);
        }
        at = to == samples.end ? to : at + kScratchFrames * stride;
      }
      noises[c] = measured.noise;
    }
  });
  for (const uint64_t sum : noises) noise += sum;
  return static_cast<long double>(noise);
}

std::vector<TargetState> guessedStates(SampleRange samples, const uint8_t* at, uint32_t channels) {
  std::vector<TargetState> states(channels);
  if (at == samples.begin) return states;
  for (uint32_t c = 0; c < channels; ++c) {
    states[c].reconstructed = readSample(at - 2 * size_t{channels} + 2 * c);
  }
  return states;
}

TargetQuality writeTargetSamples(const TargetWalk& walk, const EncoderModel& model,
                                 BitWriter& writer, SampleRange samples, Recording recording,
                                 unsigned threads) {
  std::vector<TargetState> states(walk.channels);
  const Written sum =
      threads >= 2 && walk.channels >= 2
          ? writeByChannels(walk, model, writer, samples, states.data(), recording, threads)
          : writeInPieces(TargetPieceWalk{walk, model, samples, recording}, writer, samples,
                          walk.channels, states.data(), threads, model.meter);
  if (recording.digest != nullptr) *recording.digest = sum.digest;
  return {static_cast<long double>(sum.signal), static_cast<long double>(sum.noise)};
}

}  // namespace qxw
