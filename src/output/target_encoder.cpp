#include "output/target_encoder.h"

#include <algorithm>
#include <vector>

#include "format/reconstruction_digest.h"

namespace qxw {

namespace {

// The level chosen for sample x: the nearest to the whole difference, or the largest that keeps
// the reconstruction a 16-bit sample.
struct NearestLevel {
  const UniformTable& table;
  [[gnu::always_inline]] const Level& operator()(const TargetState& st, int16_t x, size_t,
                                                 bool& negative) const {
    const int32_t target = int32_t{x} - st.reconstructed;
    negative = target < 0;
    const uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(target) : target;
    const Level& level = table.nearest(magnitude);
    // Room to the rail in the step's direction: 0..65535.
    const auto room =
        static_cast<uint32_t>(negative ? st.reconstructed + 32768 : 32767 - st.reconstructed);
    return level.magnitude > room ? table.atMost(room) : level;
  }
};

// The level that takes the reconstruction to the path's sample.
struct PathLevel {
  const UniformTable& table;
  const int16_t* path;
  [[gnu::always_inline]] const Level& operator()(const TargetState& st, int16_t, size_t index,
                                                 bool& negative) const {
    const int32_t step = int32_t{path[index]} - st.reconstructed;
    negative = step < 0;
    return table.nearest(negative ? 0u - static_cast<uint32_t>(step) : step);
  }
};

// The following samples of the channel at `at` that repeat x, up to what width bits count.
uint32_t repeatsAfter(const uint8_t* at, const uint8_t* end, size_t stride, int16_t x, int width) {
  const uint64_t limit = (uint64_t{1} << width) - 1;
  uint32_t run = 0;
  for (const uint8_t* next = at + stride; run < limit && next < end && readSample(next) == x;
       next += stride) {
    ++run;
  }
  return run;
}

// Walks the frames of [from, to), runs looking ahead up to end, choosing each level with
// choose(st, x, index from the range's start, negative); code(st, symbol, level) is called for
// every coded sample before the state moves on, and record(st, x) for every sample.
// The states are copied in for the walk, where the counts' and the output's stores cannot alias
// them, and copied back at the end.
template <typename Choose, typename Code, typename Record>
void walkFrames(const TargetWalk& walk, const uint8_t* first, const uint8_t* from,
                const uint8_t* to, const uint8_t* end, TargetState* states, Choose choose,
                Code code, Record record) {
  const size_t stride = 2 * size_t{walk.channels};
  TargetState local[kMaxChannels];
  std::copy_n(states, walk.channels, local);
  for (const uint8_t* at = from; at < to;) {
    for (uint32_t c = 0; c < walk.channels; ++c, at += 2) {
      TargetState& st = local[c];
      const int16_t x = readSample(at);
      if (st.runLength > 0) {
        --st.runLength;
        record(st, x);
        continue;
      }
      bool negative = false;
      const Level& level = choose(st, x, static_cast<size_t>(at - first) / 2, negative);
      const int32_t magnitude = level.magnitude;
      st.reconstructed =
          static_cast<int16_t>(st.reconstructed + (negative ? -magnitude : magnitude));
      const bool down = negative && magnitude != 0;
      const int symbol = symbolOf(level.bin, down != st.lastNegative);
      const bool opensRun = level.bin == 0 && st.context == 0;
      if (opensRun) st.runLength = repeatsAfter(at, end, stride, x, walk.runWidth);
      code(st, symbol, level);
      st.context = level.bin;
      st.lastNegative = down;
      record(st, x);
    }
  }
  std::copy_n(local, walk.channels, states);
}

// The walk with the level choice its path calls for.
template <typename Code, typename Record>
void walkChosen(const TargetWalk& walk, const uint8_t* first, const uint8_t* from,
                const uint8_t* to, const uint8_t* end, TargetState* states, Code code,
                Record record) {
  if (walk.path == nullptr) {
    walkFrames(walk, first, from, to, end, states, NearestLevel{walk.table}, code, record);
  } else {
    walkFrames(walk, first, from, to, end, states, PathLevel{walk.table, walk.path}, code, record);
  }
}

}  // namespace

void countTargetSymbols(const TargetWalk& walk, SampleRange samples, TargetState* states,
                        SymbolCounts& counts) {
  walkChosen(
      walk, samples.begin, samples.begin, samples.end, samples.end, states,
      [&counts](const TargetState& st, int symbol, const Level&) { ++counts[st.context][symbol]; },
      [](const TargetState&, int16_t) {});
}

TargetQuality writeTargetSamples(const TargetWalk& walk, const EncoderModel& model,
                                 BitWriter& writer, SampleRange samples, Recording recording) {
  std::vector<TargetState> states(walk.channels);
  TargetQuality quality;
  uint64_t signal = 0, noise = 0;  // exact over up to 2^32 samples of at most 2^30 each
  uint32_t inSum = 0;
  uint64_t position = 0, digest = 0;
  const bool digested = recording.digest != nullptr;
  BitCursor cursor{};
  const auto code = [&](const TargetState& st, int symbol, const Level& level) {
    const auto length = static_cast<uint32_t>(model.codeLength[st.context][symbol]);
    const uint32_t word = model.codeWord[st.context][symbol];
    const auto extra = static_cast<uint32_t>(level.bin == 0 ? (st.context == 0 ? walk.runWidth : 0)
                                                            : walk.table.bits(level.bin));
    const uint32_t value = level.bin == 0 ? st.runLength : level.offset;
    if (length + extra <= 32) {
      cursor.put(length + extra, static_cast<uint32_t>((uint64_t{word} << extra) | value));
    } else {
      cursor.put(length, word);
      cursor.put(extra, value);
    }
  };
  const auto record = [&](const TargetState& st, int16_t x) {
    if (recording.samples != nullptr) recording.samples[position] = st.reconstructed;
    if (digested) digest += digestTerm(position, st.reconstructed);
    ++position;
    const int64_t difference = int64_t{x} - st.reconstructed;
    signal += static_cast<uint64_t>(int64_t{x} * x);
    noise += static_cast<uint64_t>(difference * difference);
    if (++inSum == 0) {
      quality.signal += signal;
      quality.noise += noise;
      signal = noise = 0;
    }
  };
  // A cursor a block of frames at a time: a coded sample takes at most two words.
  constexpr size_t kBlockFrames = 1024;
  const size_t stride = 2 * size_t{walk.channels};
  for (const uint8_t* from = samples.begin; from < samples.end;) {
    const size_t frames = std::min(kBlockFrames, static_cast<size_t>(samples.end - from) / stride);
    if (frames == 0) break;
    const uint8_t* to = from + frames * stride;
    cursor = writer.open(2 * frames * walk.channels);
    walkChosen(walk, samples.begin, from, to, samples.end, states.data(), code, record);
    writer.close(cursor);
    from = to;
  }
  quality.signal += signal;
  quality.noise += noise;
  if (digested) *recording.digest = digest;
  return quality;
}

}  // namespace qxw
