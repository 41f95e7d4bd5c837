#include "encoder/target_encoder.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "encoder/piece_driver.h"
#include "format/reconstruction_digest.h"

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
    return after > 65535 ? held(st, target) : level;
  }
  // The largest level within the room to the rail in the target's direction.
  SignedLevel held(const TargetState& st, int32_t target) const {
    const bool negative = target < 0;
    const Level& level = atMost[negative ? 32768 + st.reconstructed : 32767 - st.reconstructed];
    return {negative ? -int32_t{level.magnitude} : level.magnitude, level.offset, level.bin};
  }
};

// The level that takes the reconstruction to the searched sample.
struct SearchedLevel {
  const SignedLevel* nearest;
  const int16_t* searched;
  SearchedLevel(const UniformTable& table, const int16_t* searched)
      : nearest(table.nearestSteps()), searched(searched) {}
  [[gnu::always_inline]] SignedLevel operator()(const TargetState& st, int16_t,
                                                size_t index) const {
    return nearest[int32_t{searched[index]} - st.reconstructed];
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
    walkFrames(walk, first, from, to, end, states, SearchedLevel(walk.table, walk.searched), code,
               record);
  }
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
    const auto length = static_cast<uint32_t>(model.codeLength[st.context][symbol]);
    const uint32_t word = model.codeWord[st.context][symbol];
    const auto extra = static_cast<uint32_t>(level.bin == 0 ? (st.context == 0 ? walk.runWidth : 0)
                                                            : walk.table.bits(level.bin));
    const uint32_t value = level.bin == 0 ? st.runLength : level.offset;
    if (length + extra <= 32) {
      out.add(length + extra, static_cast<uint32_t>((uint64_t{word} << extra) | value));
    } else {
      out.add(length, word);
      out.add(extra, value);
    }
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
    for (size_t i = 0; i < count; ++i) {
      const int64_t x = readSample(from + 2 * i);
      const int64_t difference = x - block[i];
      written.signal += static_cast<uint64_t>(x * x);
      written.noise += static_cast<uint64_t>(difference * difference);
    }
    if (recording.samples != nullptr) std::copy_n(block.data(), count, recording.samples + first);
    if (recording.digest != nullptr) {
      for (size_t i = 0; i < count; ++i) written.digest += digestTerm(first + i, block[i]);
    }
    // None of the rest could reach a failed output.
    if (!packFields(writer, fields.data(), out.next)) break;
    from = next;
  }
  return written;
}

// The target walk as the piece driver takes it. The whole difference the walk corrects does not
// forget where it started as the levels' feedback does: two walks meet only when a level spacing
// happens to bridge them, which fine steps, rails and silence make likely and coarse steps rare,
// so the pieces pay on fine steps (a third off /B5 on music) and cost nothing on coarse ones.
struct TargetPieceWalk {
  using State = TargetState;
  using Result = Written;
  static constexpr size_t kWarmUpFrames = 8192;

  const TargetWalk& walk;
  const EncoderModel& model;
  SampleRange samples;
  const Recording& recording;

  Written write(TargetState* states, const uint8_t* from, const uint8_t* to,
                BitWriter& writer) const {
    return writeFrames(walk, model, writer, samples, from, to, states, recording);
  }
  // The reader holding the previous sample of the searched reconstruction, or of the input.
  std::vector<TargetState> guess(const uint8_t* at) const {
    std::vector<TargetState> states = guessedStates(samples, at, walk.channels);
    if (walk.searched != nullptr && at > samples.begin) {
      const size_t previous = static_cast<size_t>(at - samples.begin) / 2 - walk.channels;
      for (uint32_t c = 0; c < walk.channels; ++c) {
        states[c].reconstructed = walk.searched[previous + c];
      }
    }
    return states;
  }
  void skip(TargetState* states, const uint8_t* from, const uint8_t* to) const {
    walkChosen(
        walk, samples.begin, from, to, samples.end, states,
        [](const TargetState&, int, const SignedLevel&) {}, [](const TargetState&, int16_t) {});
  }
  static bool same(const TargetState& a, const TargetState& b) {
    return a.reconstructed == b.reconstructed && a.context == b.context &&
           a.lastNegative == b.lastNegative && a.runLength == b.runLength;
  }
};

}  // namespace

long double measureTargetNoise(const TargetWalk& walk, SampleRange samples) {
  std::vector<TargetState> states(walk.channels);
  uint64_t noise = 0;  // 2^31 samples of squares below 2^32 fit
  walkChosen(
      walk, samples.begin, samples.begin, samples.end, samples.end, states.data(),
      [](const TargetState&, int, const SignedLevel&) {},
      [&noise](const TargetState& st, int16_t x) {
        const int64_t difference = int64_t{x} - st.reconstructed;
        noise += static_cast<uint64_t>(difference * difference);
      });
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
  const Written sum = writeInPieces(TargetPieceWalk{walk, model, samples, recording}, writer,
                                    samples, walk.channels, states.data(), threads, model.meter);
  if (recording.digest != nullptr) *recording.digest = sum.digest;
  return {static_cast<long double>(sum.signal), static_cast<long double>(sum.noise)};
}

}  // namespace qxw
