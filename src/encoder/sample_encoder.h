#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "encoder/bit_writer.h"
#include "encoder/exact_groups.h"
#include "encoder/level_lanes.h"
#include "encoder/quantizer.h"
#include "format/reconstruction_digest.h"
#include "format/vector_support.h"

namespace qxw {

struct ExactFields;

// The following samples of the channel at `at` (frames `stride` bytes apart, up to end) that
// repeat x, up to what width bits count: the run a zero step opens there.
inline uint32_t repeatsAfter(const uint8_t* at, const uint8_t* end, size_t stride, int16_t x,
                             int width) {
  const uint64_t limit = (uint64_t{1} << width) - 1;
  uint32_t run = 0;
  for (const uint8_t* next = at + stride; run < limit && next < end && readSample(next) == x;
       next += stride) {
    ++run;
  }
  return run;
}

// What a caller wants of the sound a reader will decode: its samples, interleaved as the input,
// and its digest (digestTerm summed); either may be null.
struct Recording {
  int16_t* samples = nullptr;
  uint64_t* digest = nullptr;
  bool wanted() const { return samples != nullptr || digest != nullptr; }
};

// Keeps what a Recording asks of the reconstruction: every sample in its place when samples is
// given, and always the digest of the samples seen, from `position` on.
struct Recorder {
  int16_t* samples;
  uint64_t position;
  uint64_t digest = 0;
  void operator()(int16_t value) {
    if (samples != nullptr) samples[position] = value;
    digest += digestTerm(position++, value);
  }
};

// The coder of one model's bin table and codes: walks frames from given channel states and
// writes each sample's code word, offset and run count.
class SampleEncoder {
 public:
  // steps: when given, the quantizer's answers for the magnitudes it covers; it must outlive
  // the encoder, as must the model.
  SampleEncoder(const EncoderModel& model, const StepTable* steps);
  SampleEncoder(const SampleEncoder&) = delete;
  SampleEncoder& operator=(const SampleEncoder&) = delete;

  // Encodes the frames in [from, to), moving the channel states given (one per channel) past
  // them; runs may look ahead up to end.
  void encode(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end,
              BitWriter& writer);
  // The same, also handing every sample of the reconstruction to record.
  void encode(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end,
              BitWriter& writer, Recorder& record);
  // Where the machine has the vectors, encode walks long stretches of frames as pieces side by
  // side, each from a guessed state that must meet the exact one (the bytes are the same either
  // way). Once the guesses have mostly missed, or after forgoLanes, it walks one chain.
  bool lanesMissed() const { return lanesMissed_; }
  // The pieces the lanes walked whose guesses met, taken as they were.
  uint64_t lanePiecesTaken() const { return lanePiecesTaken_; }
  // Those whose guesses missed, walked again as one chain.
  uint64_t lanePiecesMissed() const { return lanePiecesMissed_; }
  void forgoLanes() { lanesMissed_ = true; }
  // Walks the lanes without first trying that a warm-up forgets its start: for a sound on which
  // another encoder's lanes have tried it.
  void skipWarmUpTrial() { warmUpTried_ = true; }
  bool warmUpTried() const { return warmUpTried_; }
  // The buffers the lanes' pieces are written into, to be handed from encoder to encoder, whose
  // pages are then touched once.
  using LaneBits = std::vector<std::unique_ptr<PieceBits>>;
  void adoptLaneBits(LaneBits bits) { laneBits_ = std::move(bits); }
  LaneBits releaseLaneBits() { return std::move(laneBits_); }
  // Only moves the states, writing nothing.
  void skip(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end);

  // Samples whose step the range guard held back, leaving the reconstruction kLostError or more
  // from the input.
  uint64_t lostSamples() const { return guard_.lostSamples() - uncountedLost_; }
  // Stops the walk once more than lostLimit samples are lost, marking givenUp, or once another
  // walk of the same run has marked it; what was written is then incomplete.
  void giveUpPast(uint64_t lostLimit, std::atomic<bool>& givenUp) {
    lostLimit_ = lostLimit;
    givenUp_ = &givenUp;
  }

 private:
  bool givingUp();
  // A context's code for a step, with the offset that follows it, as Fields keeps a field: up to
  // 32 bits together, their width in the high half and the code word shifted past the offset in
  // the low, so that the field with the offset or'ed in is the whole, in one load and one or;
  // wider, the code's own field, marked by kWide, and the offset's width apart.
  struct Code {
    static constexpr uint64_t kWide = uint64_t{1} << 63;
    uint64_t field;
    bool wide() const { return (field & kWide) != 0; }
    uint64_t codeField() const { return field & ~kWide; }
  };

  // A channel's state as the chained walk keeps it, in as few registers as it can: the
  // reconstruction is always the last input less the error, and the context and the last
  // step's sign share one row, context * 2 + sign, which the new step's sign turns into the row
  // of its code.
  struct ChainState {
    int32_t lastInput;
    int32_t error;
    uint32_t row;
    uint32_t runLength;
    static ChainState of(const ChannelState& st) {
      return {st.lastInput, st.error,
              static_cast<uint32_t>(st.context) << 1 | (st.lastNegative != 0 ? 1u : 0u),
              st.runLength};
    }
    int16_t reconstructed() const { return static_cast<int16_t>(lastInput - error); }
    bool operator==(const ChainState&) const = default;
    void into(ChannelState& st) const {
      st.lastInput = static_cast<int16_t>(lastInput);
      st.error = error;
      st.reconstructed = reconstructed();
      st.context = static_cast<int32_t>(row >> 1);
      st.lastNegative = static_cast<uint8_t>(row & 1);
      st.runLength = runLength;
    }
  };

  // What every sample of a walk reads besides its channel's state.
  struct Walk {
    Quantizer quantize;
    const uint8_t* end;  // how far runs may look ahead
    size_t stride;
    uint32_t runWidth;
    uint64_t runError;  // a run opens only while twice the error is at most this
  };

  // The walk in chain lanes.
  class LaneRound;
  bool lanesPay(size_t frames) const;
  void encodeInLanes(ChannelState* states, const uint8_t* from, const uint8_t* to, const Walk& w,
                     BitWriter& writer);
  Walk walkOf(const uint8_t* end) const;
  // The chained walk and its coder of one sample, for what the lanes leave.
  void walkChained(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end,
                   BitWriter& writer);
  void codeSampleApart(ChainState& st, const uint8_t* at, const Walk& w, Fields<true>& out);

  template <bool kWrite, typename Record>
  void dispatch(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end,
                BitWriter* writer, Record& record);
  template <bool kWrite, uint32_t kChannels, typename Record>
  void walk(ChannelState* states, const uint8_t* from, const uint8_t* to, const uint8_t* end,
            BitWriter* writer, Record& record);
  template <bool kWrite, uint32_t kChannels, typename Record>
  void codeFrames(ChannelState* local, const uint8_t* at, const uint8_t* to, const Walk& w,
                  Fields<kWrite>& out, Record& record);
  template <uint32_t kChannels>
  bool codeExactBlock(ChannelState* local, const uint8_t* from, const uint8_t* to, const Walk& w,
                      ExactFields out);
  template <bool kWrite, typename Record>
  void codeSample(ChainState& st, const uint8_t* at, const Walk& w, Fields<kWrite>& out,
                  Record& record);

  const EncoderModel& model_;
  Quantizer quantize_;
  RangeGuard guard_{quantize_};
  const StepTable* steps_;
  bool exactSteps_;                        // the step table's steps are the magnitudes themselves
  bool vectors_ = wideVectorsAvailable();  // exact blocks go in vector groups
  std::unique_ptr<uint64_t[]> fields_;     // a block's fields, before they are packed
  // Of a walk in chain lanes: the bits of every piece after the first, and the samples the range
  // guard counted as lost in warm-ups and in pieces walked again.
  LaneBits laneBits_;
  uint64_t uncountedLost_ = 0;
  bool lanesMissed_ = false;
  bool warmUpTried_ = false;  // whether a lane round has tried that a warm-up forgets its start
  uint64_t lanePiecesTaken_ = 0;
  uint64_t lanePiecesMissed_ = 0;
  // Lost samples of lane pieces not yet taken or walked again, which may not count.
  uint64_t pendingLost_ = 0;
  uint64_t lostLimit_ = UINT64_MAX;
  std::atomic<bool>* givenUp_ = nullptr;
  // By context, turn and bin: a zero step never turns, so both turns give it the zero symbol.
  Code codes_[kContextCount][2][kBinCount];
  // The same as exact groups read them, in 32 bits: the width above kNarrowShift, the code word
  // shifted past the offset below; kNotNarrow where they are wider than kNarrowWidest.
  uint32_t narrowCodes_[kContextCount][2][kBinCount];
};

// A guess at the channel states before the frame at `at`, for a walk started where it cannot
// know them: the previous input sample as reconstruction, no error, context and sign from the
// raw difference, no run. begin: the input's first frame.
void guessChannelStates(const EncoderModel& model, const uint8_t* begin, const uint8_t* at,
                        ChannelState* states);

// Frames a walk from a guessed state takes to forget the guess: the error feedback forgets its
// history within a few thousand.
inline constexpr size_t kLevelWarmUpFrames = 24576;

// From this many samples on, a pass builds a step table rather than computing every step.
inline constexpr size_t kStepTableSamples = size_t{1} << 16;

}  // namespace qxw
