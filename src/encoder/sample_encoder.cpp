#include "encoder/sample_encoder.h"

#include <algorithm>
#include <type_traits>

#include "format/sample_differences.h"

namespace qxw {

namespace {

struct NoRecording {
  void operator()(int16_t) {}
};

// Frames a walk codes before it packs their fields into words, and the most fields one frame
// gives: up to three a sample (code, offset, run count).
constexpr size_t kBlockFrames = 512;
constexpr size_t kFrameFields = 3 * kMaxChannels;

}  // namespace

SampleEncoder::SampleEncoder(const EncoderModel& model, const StepTable* steps)
    : model_(model),
      quantize_(model, steps),
      steps_(steps),
      fields_(std::make_unique<uint64_t[]>(kBlockFrames * kFrameFields)) {
  for (int c = 0; c < kContextCount; ++c) {
    for (int turned = 0; turned < 2; ++turned) {
      for (int bin = 0; bin < kBinCount; ++bin) {
        const int symbol = symbolOf(bin, turned != 0);
        const int offsetBits = bin == 0 ? 0 : model.binBits[bin];
        const int length = model.codeLength[c][symbol];
        const uint32_t word = model.codeWord[c][symbol];
        const int width = length + offsetBits;
        codes_[c][turned][bin] = {width <= 32 ? uint64_t(width) << 32 | word << offsetBits
                                              : Code::kWide | uint64_t(length) << 32 | word};
        narrowCodes_[c][turned][bin] = width <= kNarrowWidest
                                           ? uint32_t(width) << kNarrowShift | word << offsetBits
                                           : kNotNarrow;
      }
    }
  }
  exactSteps_ = steps != nullptr && std::all_of(model.binShift, model.binShift + kBinCount,
                                                [](int32_t shift) { return shift == 0; });
}

// Codes one sample from its channel's state and adds its fields.
template <bool kWrite, typename Record>
[[gnu::always_inline]] inline void SampleEncoder::codeSample(ChainState& st, const uint8_t* at,
                                                             const Walk& w, Fields<kWrite>& out,
                                                             Record& record) {
  const int32_t x = readSample(at);
  const int32_t diff = x - st.lastInput;
  const int32_t e = st.error;
  const int32_t reconstructed = st.lastInput - e;
  st.lastInput = x;
  const int32_t f = errorFeedback(e);
  const int32_t target = diff + f;
  QuantizedStep q = w.quantize(target);
  if (reconstructed + q.value >= kGuardHigh || reconstructed + q.value < kGuardLow) [[unlikely]] {
    q = guard_.step(reconstructed, target, e - f + target);
  }
  const int32_t step = q.value;
  const int bin = q.bin;
  // The whole target counts, also what the guard held back: the error stays exactly input minus
  // reconstruction, and the next steps catch up.
  st.error = e - f + target - step;
  record(static_cast<int16_t>(reconstructed + step));

  const uint32_t negative = step < 0 ? 1 : 0;
  const uint32_t row = st.row;
  st.row = static_cast<uint32_t>(bin) << 1 | negative;
  // The row's sign bit against the step's: whether the step turns.
  const Code code = (&codes_[0][0][0])[(row ^ negative) << 5 | static_cast<uint32_t>(bin)];
  if (!code.wide()) [[likely]] {
    out.add(code.field | q.offset);
  } else {
    out.add(code.codeField());
    out.add(static_cast<uint32_t>(model_.binBits[bin]), q.offset);
  }
  if ((static_cast<uint32_t>(bin) | row >> 1) != 0) return;
  // The run count follows a zero symbol in context 0; a run opens only while the error is small.
  const uint32_t absError = st.error < 0 ? 0u - static_cast<uint32_t>(st.error) : st.error;
  st.runLength =
      w.runError >= uint64_t{absError} * 2
          ? repeatsAfter(at, w.end, w.stride, static_cast<int16_t>(x), static_cast<int>(w.runWidth))
          : 0;
  out.add(w.runWidth, st.runLength);
}

// Codes the frames of [at, to) with the error feedback chained from sample to sample in each
// channel. kChannels is the channel count when fixed at compile time, so that the states can stay
// in registers, or 0.
template <bool kWrite, uint32_t kChannels, typename Record>
void SampleEncoder::codeFrames(ChannelState* local, const uint8_t* at, const uint8_t* to,
                               const Walk& w, Fields<kWrite>& out, Record& record) {
  const auto sample = [&](ChainState& st, const uint8_t* s) {
    if (st.runLength > 0) {
      --st.runLength;
      record(st.reconstructed());
      return;
    }
    codeSample(st, s, w, out, record);
  };
  if constexpr (kChannels == 2) {
    // Two named states rather than an array, which the compiler keeps in memory: the chains of
    // the two channels then overlap.
    ChainState left = ChainState::of(local[0]), right = ChainState::of(local[1]);
    for (; at < to; at += 4) {
      sample(left, at);
      sample(right, at + 2);
    }
    left.into(local[0]);
    right.into(local[1]);
  } else {
    const uint32_t channels = kChannels != 0 ? kChannels : model_.channelCount;
    ChainState states[kChannels != 0 ? kChannels : kMaxChannels];
    for (uint32_t c = 0; c < channels; ++c) states[c] = ChainState::of(local[c]);
    while (at < to) {
      for (uint32_t c = 0; c < channels; ++c, at += 2) sample(states[c], at);
    }
    for (uint32_t c = 0; c < channels; ++c) states[c].into(local[c]);
  }
}

// The fields of a block coded exactly, a channel after another, kBlockFrames apart: one per
// sample, and a second where the code and offset exceed 32 bits or a run count follows; width 0
// when none.
struct ExactFields {
  uint64_t* first;
  uint64_t* second;
};

// Codes the frames of [at, to) for a table whose steps are the magnitudes themselves (quality
// 9), from states with no error: the reconstruction is the input and no step needs the guard, so
// nothing chains one sample to the next but its channel's last sample, bin and sign, and each
// channel goes through the block on its own, in vector groups where the machine has them. A
// run's samples give no fields. False, with the states untouched, when the table cannot give
// some magnitude exactly.
template <uint32_t kChannels>
bool SampleEncoder::codeExactBlock(ChannelState* local, const uint8_t* from, const uint8_t* to,
                                   const Walk& w, ExactFields out) {
  const uint32_t channels = kChannels != 0 ? kChannels : model_.channelCount;
  const size_t stride = kChannels != 0 ? 2 * kChannels : w.stride;
  const auto frames = static_cast<size_t>(to - from) / stride;
  const StepTable::Entry* steps = &(*steps_)[0];
  const uint32_t* narrow = &narrowCodes_[0][0][0];
  uint32_t inexact = 0;
  ChannelState next[kChannels != 0 ? kChannels : kMaxChannels];
  int32_t diffs[kBlockFrames];
  for (uint32_t c = 0; c < channels; ++c) {
    const uint8_t* samples = from + 2 * c;
    ExactChain chain{local[c].context, local[c].lastNegative != 0};
    uint32_t run = local[c].runLength;
    uint64_t* first = out.first + c * kBlockFrames;
    uint64_t* second = out.second + c * kBlockFrames;
    // One sample, a difference of diff from the one before.
    const auto codeOne = [&](size_t i, int32_t diff) {
      const int32_t sign = diff >> 31;
      const auto magnitude = static_cast<uint32_t>((diff ^ sign) - sign);
      const StepTable::Entry entry = steps[magnitude];
      inexact |= entry.inexact;
      const int bin = entry.bin;
      const Code code = codes_[chain.context][(sign != 0) != chain.lastNegative][bin];
      const bool opens = (bin | chain.context) == 0 && run == 0;
      chain.lastNegative = sign != 0;
      chain.context = bin;
      // A run's samples repeat its first: bin 0, no sign, as if coded.
      if (run > 0) {
        --run;
        first[i] = 0;
        second[i] = 0;
        return;
      }
      if (!code.wide()) [[likely]] {
        first[i] = code.field | entry.offset;
        second[i] = 0;
      } else {
        first[i] = code.codeField();
        second[i] = uint64_t(model_.binBits[bin]) << 32 | entry.offset;
      }
      if (opens) [[unlikely]] {
        const uint8_t* at = samples + i * stride;
        run = repeatsAfter(at, w.end, stride, readSample(at), static_cast<int>(w.runWidth));
        second[i] = uint64_t{w.runWidth} << 32 | run;
      }
    };
    if (!vectors_) {
      channelDifferences(from, frames, channels, c, local[c].lastInput, diffs);
      for (size_t i = 0; i < frames; ++i) codeOne(i, diffs[i]);
    }
    for (size_t i = 0; vectors_ && i < frames;) {
      int32_t before = i == 0 ? local[c].lastInput : readSample(samples + (i - 1) * stride);
      if (run == 0) {
        const size_t done = codeExactGroups(from + i * stride, frames - i, channels, c, before,
                                            steps, narrow, chain, first + i, second + i, inexact);
        if (done > 0) before = readSample(samples + (i + done - 1) * stride);
        i += done;
      }
      // A group the vectors leave: runs, wide codes, the block's end.
      for (const size_t stop = std::min(frames, i + kExactGroup); i < stop; ++i) {
        const int32_t x = readSample(samples + i * stride);
        codeOne(i, x - before);
        before = x;
      }
    }
    const int16_t last = readSample(samples + (frames - 1) * stride);
    next[c] = local[c];
    next[c].lastInput = last;
    next[c].reconstructed = last;
    next[c].context = chain.context;
    next[c].lastNegative = chain.lastNegative;
    next[c].runLength = run;
  }
  if (inexact != 0) return false;
  std::copy_n(next, channels, local);
  return true;
}

// Packs an exact block's fields into the writer, frame by frame; false once its output has
// failed.
template <uint32_t kChannels>
[[gnu::always_inline]] inline bool packExactFields(BitWriter& writer, ExactFields fields,
                                                   size_t frames, uint32_t channelCount) {
  const uint32_t channels = kChannels != 0 ? kChannels : channelCount;
  BitCursor out = writer.open(2 * frames * channels);
  const auto one = [&](size_t k) {
    out.put(fields.first[k]);
    if (fields.second[k] != 0) out.put(fields.second[k]);
  };
  // Samples with one field each go out two at a time.
  const auto pair = [&](size_t k, size_t l) {
    if ((fields.second[k] | fields.second[l]) == 0) [[likely]] {
      out.putPair(fields.first[k], fields.first[l]);
    } else {
      one(k);
      one(l);
    }
  };
  if constexpr (kChannels == 2) {
    // Frames whose samples join into one field each, eight at a time in vector lanes; the
    // eight that stop the lanes one at a time.
    uint64_t joined[kBlockFrames];
    for (size_t i = 0; i < frames;) {
      const size_t n =
          pairExactFields(fields.first + i, fields.first + kBlockFrames + i, fields.second + i,
                          fields.second + kBlockFrames + i, frames - i, joined);
      for (size_t k = 0; k < n; ++k) out.put(joined[k]);
      i += n;
      for (const size_t stop = std::min(frames, i + 8); i < stop; ++i) pair(i, kBlockFrames + i);
    }
  } else if constexpr (kChannels == 1) {
    uint64_t joined[kBlockFrames / 2];
    size_t i = 0;
    while (i + 2 <= frames) {
      const size_t n = pairNeighbourFields(fields.first + i, fields.second + i, frames - i, joined);
      for (size_t k = 0; k < n / 2; ++k) out.put(joined[k]);
      i += n;
      for (const size_t stop = std::min(frames, i + 16); i + 2 <= stop; i += 2) pair(i, i + 1);
    }
    if (i < frames) one(i);
  } else {
    for (size_t i = 0; i < frames; ++i) {
      for (uint32_t c = 0; c < channels; ++c) one(c * kBlockFrames + i);
    }
  }
  writer.close(out);
  return !writer.failed();
}

#ifdef QXW_VECTORS
template <uint32_t kChannels>
[[gnu::target("bmi2")]] bool packExactWithRegisterShifts(BitWriter& writer, ExactFields fields,
                                                         size_t frames, uint32_t channelCount) {
  return packExactFields<kChannels>(writer, fields, frames, channelCount);
}
#endif

// The same with the machine's best shifts: the cursor's chain is its shifts.
template <uint32_t kChannels>
bool packExact(BitWriter& writer, ExactFields fields, size_t frames, uint32_t channelCount) {
#ifdef QXW_VECTORS
  if (registerShiftsAvailable()) {
    return packExactWithRegisterShifts<kChannels>(writer, fields, frames, channelCount);
  }
#endif
  return packExactFields<kChannels>(writer, fields, frames, channelCount);
}

// The frames go in blocks: first every sample's fields, then the block's fields packed into
// words, so that neither loop waits on the other's chain. The channel states are copied in for
// the walk, where the output's stores cannot alias them, and copied back at the end.
template <bool kWrite, uint32_t kChannels, typename Record>
void SampleEncoder::walk(ChannelState* states, const uint8_t* from, const uint8_t* to,
                         const uint8_t* end, BitWriter* writer, Record& record) {
  const uint32_t channels = kChannels != 0 ? kChannels : model_.channelCount;
  ChannelState local[kChannels != 0 ? kChannels : kMaxChannels];
  std::copy_n(states, channels, local);
  const size_t stride = 2 * size_t{channels};
  const Walk w{quantize_, end, stride, static_cast<uint32_t>(model_.binBits[0]), model_.binBase[1]};
  bool exact = exactSteps_ && std::all_of(local, local + channels, [](const ChannelState& st) {
                 return st.error == 0 && st.reconstructed == st.lastInput;
               });
  for (const uint8_t* at = from; at < to;) {
    const uint8_t* blockEnd = at + std::min<size_t>(kBlockFrames, (to - at) / stride) * stride;
    if (exact) {
      const ExactFields fields{fields_.get(), fields_.get() + kBlockFrames * kMaxChannels};
      exact = codeExactBlock<kChannels>(local, at, blockEnd, w, fields);
      if (exact) {
        // The reconstruction is the input.
        if constexpr (!std::is_same_v<Record, NoRecording>) {
          for (const uint8_t* s = at; s < blockEnd; s += 2) record(readSample(s));
        }
        if constexpr (kWrite) {
          const size_t frames = static_cast<size_t>(blockEnd - at) / stride;
          if (!packExact<kChannels>(*writer, fields, frames, channels)) return;
        }
        at = blockEnd;
        continue;
      }
    }
    Fields<kWrite> out{fields_.get()};
    codeFrames<kWrite, kChannels>(local, at, blockEnd, w, out, record);
    at = blockEnd;
    if constexpr (kWrite) {
      // A failed output ends the walk: none of the rest could reach it.
      if (!packFields(*writer, fields_.get(), out.next) || givingUp()) return;
    }
  }
  std::copy_n(local, channels, states);
}

bool SampleEncoder::givingUp() {
  if (givenUp_ == nullptr) return false;
  if (lostSamples() - pendingLost_ > lostLimit_) givenUp_->store(true, std::memory_order_relaxed);
  return givenUp_->load(std::memory_order_relaxed);
}

template <bool kWrite, typename Record>
void SampleEncoder::dispatch(ChannelState* states, const uint8_t* from, const uint8_t* to,
                             const uint8_t* end, BitWriter* writer, Record& record) {
  const uint32_t channels = model_.channelCount;
  if (channels == 2) return walk<kWrite, 2>(states, from, to, end, writer, record);
  if (channels == 1) return walk<kWrite, 1>(states, from, to, end, writer, record);
  walk<kWrite, 0>(states, from, to, end, writer, record);
}

SampleEncoder::Walk SampleEncoder::walkOf(const uint8_t* end) const {
  return {quantize_, end, 2 * size_t{model_.channelCount}, static_cast<uint32_t>(model_.binBits[0]),
          model_.binBase[1]};
}

void SampleEncoder::encode(ChannelState* states, const uint8_t* from, const uint8_t* to,
                           const uint8_t* end, BitWriter& writer) {
  const size_t frames = static_cast<size_t>(to - from) / (2 * size_t{model_.channelCount});
  if (lanesPay(frames)) return encodeInLanes(states, from, to, walkOf(end), writer);
  walkChained(states, from, to, end, writer);
}

void SampleEncoder::walkChained(ChannelState* states, const uint8_t* from, const uint8_t* to,
                                const uint8_t* end, BitWriter& writer) {
  NoRecording none;
  dispatch<true>(states, from, to, end, &writer, none);
}

void SampleEncoder::codeSampleApart(ChainState& st, const uint8_t* at, const Walk& w,
                                    Fields<true>& out) {
  NoRecording none;
  codeSample(st, at, w, out, none);
}

void SampleEncoder::encode(ChannelState* states, const uint8_t* from, const uint8_t* to,
                           const uint8_t* end, BitWriter& writer, Recorder& record) {
  dispatch<true>(states, from, to, end, &writer, record);
}

void SampleEncoder::skip(ChannelState* states, const uint8_t* from, const uint8_t* to,
                         const uint8_t* end) {
  NoRecording none;
  dispatch<false>(states, from, to, end, nullptr, none);
}

void guessChannelStates(const EncoderModel& model, const uint8_t* begin, const uint8_t* at,
                        ChannelState* states) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  std::fill_n(states, channels, ChannelState{});
  for (uint32_t c = 0; c < channels && at != begin; ++c) {
    const int16_t last = readSample(at - stride + 2 * c);
    const int16_t before = at - stride > begin ? readSample(at - 2 * stride + 2 * c) : 0;
    int bin = 0;
    uint32_t offset = 0;
    const int32_t step = quantize(model, int32_t{last} - before, bin, offset);
    ChannelState& st = states[c];
    st.lastInput = last;
    st.reconstructed = last;
    st.context = bin;
    st.lastNegative = step < 0;
  }
}

}  // namespace qxw
