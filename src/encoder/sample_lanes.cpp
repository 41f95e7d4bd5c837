// The sample encoder's walk in chain lanes: a stretch of frames cut into pieces, one a lane per
// channel, walked side by side in lockstep. The first piece starts from the exact states; every
// other from a guess a warm-up before its first frame, its bits kept apart and taken only where
// the exact states that reach it equal those it assumed, else walked again from them. The bytes
// are those of one chained walk.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>

#include "encoder/sample_encoder.h"
#include "format/vector_support.h"

namespace qxw {

namespace {

// Frames a lane walk takes at most in one round, which bounds what its pieces' bits hold.
constexpr size_t kRoundFrames = size_t{1} << 22;
// Frames a piece warms up over from its guess: enough for the error feedback to forget the guess
// on real sound. A piece that has not is walked again.
constexpr size_t kWarmUpFrames = 8192;
// Steps a round takes before it judges how many samples leave the lanes, and the share of them,
// one in kMostWaiting, beyond which one chain is faster.
constexpr size_t kTrialSteps = 1024;
constexpr size_t kMostWaiting = 32;
// Steps the lanes take before their fields are packed.
constexpr size_t kBlockSteps = 128;
// How far apart the errors of the two guesses that try whether a warm-up forgets its start are.
constexpr int32_t kTrialError = 100;

}  // namespace

// One round: the pieces' lanes, their bits and what the checks need.
class SampleEncoder::LaneRound {
 public:
  LaneRound(SampleEncoder& encoder, const Walk& w, const uint8_t* from, size_t frames)
      : e_(encoder),
        w_(w),
        from_(from),
        frames_(frames),
        channels_(encoder.model_.channelCount),
        pieces_(kChainLanes / channels_),
        lanes_(pieces_ * channels_),
        share_((frames - kWarmUpFrames) / pieces_),
        steps_(kWarmUpFrames + share_),
        tables_{encoder.steps_->laneWordsAtZero(),
                encoder.model_.binBase,
                encoder.model_.binShift,
                &encoder.narrowCodes_[0][0][0],
                w.runWidth,
                static_cast<uint32_t>(std::min<uint64_t>(w.runError, UINT32_MAX))},
        starts_(lanes_),
        pieceLost_(pieces_, 0),
        inputs_(std::make_unique<int16_t[]>(kBlockSteps * kChainLanes)),
        fieldsOfBlock_(std::make_unique<uint64_t[]>(2 * kBlockSteps * kChainLanes)),
        fields_(fieldsOfBlock_.get()),
        seconds_(fields_ + kBlockSteps * kChainLanes),
        words_(std::make_unique<uint64_t[]>(kBlockSteps * kChainLanes)) {}

  void run(ChannelState* states, BitWriter& writer);

 private:
  // Piece p walks steps_ frames from frame p * share_; the first codes them all, the others
  // those after the warm-up.
  const uint8_t* sampleAt(uint32_t lane, size_t step) const {
    return from_ + ((lane / channels_) * share_ + step) * w_.stride + 2 * (lane % channels_);
  }
  ChainState chainOf(uint32_t lane) const {
    return {chains_.lastInput[lane], chains_.error[lane], chains_.row[lane],
            chains_.runLength[lane]};
  }
  void setChain(uint32_t lane, const ChainState& st) {
    chains_.lastInput[lane] = st.lastInput;
    chains_.error[lane] = st.error;
    chains_.row[lane] = st.row;
    chains_.runLength[lane] = st.runLength;
  }

  bool warmUpForgets();
  void start(const ChannelState* states, BitWriter& writer);
  void loadInputs(size_t step, size_t count);
  void walkBlock(size_t step, size_t count);
  void packBlock(uint32_t packed, size_t count) const;
  void pack(BitWriter& out, uint32_t p, size_t count) const;
  void putFrame(BitCursor& cursor, uint32_t p, size_t t) const;
  void putField(BitCursor& cursor, uint64_t field, size_t k) const;
  void walkChained(ChannelState* states, const uint8_t* from, const uint8_t* to, BitWriter& writer);
  void takePieces(ChannelState* states, BitWriter& writer);

  SampleEncoder& e_;
  const Walk& w_;
  const uint8_t* from_;
  size_t frames_;
  uint32_t channels_, pieces_, lanes_;
  size_t share_, steps_;
  LaneTables tables_;
  LaneChains chains_;
  std::vector<ChainState> starts_;     // each lane's state after its warm-up
  std::vector<uint64_t> pieceLost_;    // lost samples the range guard counted in each piece
  std::vector<BitWriter*> outputs_;    // the first piece's straight to the writer
  std::unique_ptr<int16_t[]> inputs_;  // a block's samples, a step's lanes together
  // A block's fields, a step's lanes together, and the second fields of samples coded apart.
  std::unique_ptr<uint64_t[]> fieldsOfBlock_;
  uint64_t* fields_;
  uint64_t* seconds_;
  std::unique_ptr<uint64_t[]> words_;  // the words a block's packing in lanes stores
  size_t waited_ = 0;                  // samples left to the chained walk's coder
};

// Lanes pay where the machine has them, the table gives the steps with their lane words, their
// guesses have not missed, and every piece codes at least twice as many frames as it warms up
// over.
bool SampleEncoder::lanesPay(size_t frames) const {
  const size_t pieces = kChainLanes / model_.channelCount;
  return vectors_ && !lanesMissed_ && steps_ != nullptr && !exactSteps_ &&
         steps_->laneWordsAtZero() != nullptr && frames >= kWarmUpFrames * (2 * pieces + 1);
}

// The frames go in rounds of equal length, each walked in lanes while their guesses meet.
void SampleEncoder::encodeInLanes(ChannelState* states, const uint8_t* from, const uint8_t* to,
                                  const Walk& w, BitWriter& writer) {
  const size_t frames = static_cast<size_t>(to - from) / w.stride;
  const size_t rounds = (frames + kRoundFrames - 1) / kRoundFrames;
  for (size_t k = 0; k < rounds && !writer.failed() && !givingUp(); ++k) {
    const uint8_t* first = from + frames * k / rounds * w.stride;
    const size_t count = frames * (k + 1) / rounds - frames * k / rounds;
    if (!lanesPay(count)) return walkChained(states, first, to, w.end, writer);
    LaneRound(*this, w, first, count).run(states, writer);
  }
}

void SampleEncoder::LaneRound::run(ChannelState* states, BitWriter& writer) {
  if (!e_.warmUpTried_) {
    e_.warmUpTried_ = true;
    if (!warmUpForgets()) {
      e_.lanesMissed_ = true;
      return walkChained(states, from_, from_ + frames_ * w_.stride, writer);
    }
  }
  start(states, writer);
  for (size_t s = 0; s < steps_ && !writer.failed();) {
    const size_t stop = std::min(s < kWarmUpFrames ? kWarmUpFrames : steps_, s + kBlockSteps);
    loadInputs(s, stop - s);
    walkBlock(s, stop - s);
    // Only the first piece codes its warm-up.
    packBlock(s >= kWarmUpFrames ? pieces_ : 1, stop - s);
    if (stop == kWarmUpFrames) {
      for (uint32_t lane = channels_; lane < lanes_; ++lane) starts_[lane] = chainOf(lane);
    }
    s = stop;
    if (e_.givingUp()) return;
    // Where many samples leave the lanes (a sound the range guard holds at every step), one
    // chain is faster: the first piece goes on from where it stands.
    if (s >= kTrialSteps && waited_ * kMostWaiting > s * lanes_) {
      for (uint32_t c = 0; c < channels_; ++c) chainOf(c).into(states[c]);
      const uint64_t pending = std::accumulate(pieceLost_.begin(), pieceLost_.end(), uint64_t{0});
      e_.uncountedLost_ += pending;
      e_.pendingLost_ -= pending;
      e_.lanesMissed_ = true;
      return walkChained(states, sampleAt(0, s), from_ + frames_ * w_.stride, writer);
    }
  }
  if (!writer.failed()) takePieces(states, writer);
}

// Whether the walk forgets where it started over a warm-up, tried on the second piece's: two
// walks from guesses whose errors differ must meet. Where they do not (white noise at the
// coarsest steps), the pieces' guesses would miss too, and every piece be walked twice.
bool SampleEncoder::LaneRound::warmUpForgets() {
  const uint8_t* at = sampleAt(channels_, 0);
  ChannelState one[kMaxChannels], other[kMaxChannels];
  guessChannelStates(e_.model_, from_, at, one);
  std::copy_n(one, channels_, other);
  for (uint32_t c = 0; c < channels_; ++c) {
    const int32_t error = other[c].lastInput >= 0 ? kTrialError : -kTrialError;
    other[c].error = error;
    other[c].reconstructed = static_cast<int16_t>(other[c].lastInput - error);
  }
  const uint64_t lost = e_.guard_.lostSamples();
  e_.skip(one, at, sampleAt(channels_, kWarmUpFrames), w_.end);
  e_.skip(other, at, sampleAt(channels_, kWarmUpFrames), w_.end);
  e_.uncountedLost_ += e_.guard_.lostSamples() - lost;
  for (uint32_t c = 0; c < channels_; ++c) {
    if (!(ChainState::of(one[c]) == ChainState::of(other[c]))) return false;
  }
  return true;
}

// The first piece from the exact states, the others from guesses; lanes past the last piece
// idle in a run without end.
void SampleEncoder::LaneRound::start(const ChannelState* states, BitWriter& writer) {
  ChannelState guessed[kMaxChannels];
  for (uint32_t lane = 0; lane < kChainLanes; ++lane) {
    const uint32_t p = lane / channels_;
    const uint32_t c = lane % channels_;
    if (lane >= lanes_) {
      setChain(lane, {0, 0, 0, ~uint32_t{0}});
      continue;
    }
    if (c == 0 && p > 0) guessChannelStates(e_.model_, from_, sampleAt(lane, 0), guessed);
    setChain(lane, ChainState::of(p == 0 ? states[c] : guessed[c]));
  }
  e_.laneBits_.resize(pieces_);
  outputs_.assign(pieces_, &writer);
  for (uint32_t p = 1; p < pieces_; ++p) {
    if (!e_.laneBits_[p]) e_.laneBits_[p] = std::make_unique<PieceBits>(share_ * w_.stride + 64);
    outputs_[p] = &e_.laneBits_[p]->restart();
  }
}

// The samples of `count` steps from `step` on, a step's lanes together.
void SampleEncoder::LaneRound::loadInputs(size_t step, size_t count) {
  if (channels_ <= 2) {
    const uint8_t* starts[kChainLanes];
    for (uint32_t p = 0; p < pieces_; ++p) starts[p] = sampleAt(channels_ * p, step);
    return gatherSteps(starts, channels_, count, inputs_.get());
  }
  for (uint32_t lane = 0; lane < lanes_; ++lane) {
    const uint8_t* at = sampleAt(lane, step);
    for (size_t t = 0; t < count; ++t, at += w_.stride) {
      inputs_[t * kChainLanes + lane] = readSample(at);
    }
  }
}

// Walks the lanes through a block, coding the samples they leave as the chained walk does.
void SampleEncoder::LaneRound::walkBlock(size_t step, size_t count) {
  for (size_t t = 0; t < count; ++t) {
    uint32_t waiting = 0;
    t = walkLevelLanes(chains_, tables_, inputs_.get(), t, count, fields_, waiting);
    waited_ += static_cast<size_t>(std::popcount(waiting));
    for (; waiting != 0; waiting &= waiting - 1) {
      const auto lane = static_cast<uint32_t>(std::countr_zero(waiting));
      const size_t k = t * kChainLanes + lane;
      const uint64_t before = e_.guard_.lostSamples();
      ChainState st = chainOf(lane);
      uint64_t both[2] = {0, 0};
      Fields<true> out{both};
      e_.codeSampleApart(st, sampleAt(lane, step + t), w_, out);
      setChain(lane, st);
      fields_[k] = both[0] | (both[1] != 0 ? kLaneTwo : 0);
      seconds_[k] = both[1];
      // The range guard counts for one walk only what the pieces taken code.
      const uint32_t p = lane / channels_;
      const uint64_t lost = e_.guard_.lostSamples() - before;
      if (p > 0 && step < kWarmUpFrames) {
        e_.uncountedLost_ += lost;
      } else if (p > 0) {
        pieceLost_[p] += lost;
        e_.pendingLost_ += lost;
      }
    }
  }
}

// Packs the fields of the first `packed` pieces for `count` steps of the block: side by side
// where a piece has one or two channels, else a piece at a time.
void SampleEncoder::LaneRound::packBlock(uint32_t packed, size_t count) const {
  if (channels_ > 2) {
    for (uint32_t p = 0; p < packed; ++p) pack(*outputs_[p], p, count);
    return;
  }
  LaneCursors cursors{};  // the lanes of pieces that pack nothing stay as they are
  for (uint32_t p = 0; p < packed; ++p) cursors.set(p, outputs_[p]->open(2 * count * channels_));
  const uint32_t active = packed == 32 ? ~uint32_t{0} : (uint32_t{1} << packed) - 1;
  for (size_t t = 0; t < count; ++t) {
    uint32_t waiting = 0;
    const size_t from = t;
    t = packFieldsInLanes(cursors, channels_, active, fields_, t, count, words_.get(), waiting);
    storeLaneWords(cursors, packed, words_.get(), from, std::min(t + 1, count));
    for (; waiting != 0; waiting &= waiting - 1) {
      const auto p = static_cast<uint32_t>(std::countr_zero(waiting));
      BitCursor cursor = cursors.of(p);
      putFrame(cursor, p, t);
      cursors.set(p, cursor);
    }
  }
  for (uint32_t p = 0; p < packed; ++p) outputs_[p]->close(cursors.of(p));
}

// Packs the fields of piece p's samples for `count` steps of the block.
void SampleEncoder::LaneRound::pack(BitWriter& out, uint32_t p, size_t count) const {
  BitCursor cursor = out.open(2 * count * channels_);
  for (size_t t = 0; t < count; ++t) putFrame(cursor, p, t);
  out.close(cursor);
}

// Puts the fields of piece p's frame at step t of the block.
void SampleEncoder::LaneRound::putFrame(BitCursor& cursor, uint32_t p, size_t t) const {
  for (uint32_t c = 0; c < channels_; ++c) {
    const size_t k = t * kChainLanes + p * channels_ + c;
    putField(cursor, fields_[k], k);
  }
}

// Puts the field of lane walk sample k: one marked kLaneTwo with its second, one marked
// kLaneApart from its code.
void SampleEncoder::LaneRound::putField(BitCursor& cursor, uint64_t field, size_t k) const {
  if ((field & kLaneTwo) != 0) {
    cursor.put(field & ~kLaneTwo);
    cursor.put(seconds_[k]);
  } else if ((field & kLaneApart) != 0) {
    const uint32_t index = field & 0xFFFF;
    const uint32_t offset = static_cast<uint32_t>(field) >> 16;
    const Code code = (&e_.codes_[0][0][0])[index];
    if (!code.wide()) {
      cursor.put(code.field | offset);
    } else {
      cursor.put(code.codeField());
      cursor.put(static_cast<uint32_t>(e_.model_.binBits[index % kBinCount]), offset);
    }
    if ((field & kLaneRun) != 0) cursor.put(w_.runWidth, 0);
  } else {
    cursor.put(field);
  }
}

void SampleEncoder::LaneRound::walkChained(ChannelState* states, const uint8_t* from,
                                           const uint8_t* to, BitWriter& writer) {
  e_.walkChained(states, from, to, w_.end, writer);
}

// The first piece's end is exact; each later piece is taken where it began there, else walked
// again from there. The frames past the last piece are walked as one chain.
void SampleEncoder::LaneRound::takePieces(ChannelState* states, BitWriter& writer) {
  ChainState exact[kMaxChannels];
  for (uint32_t c = 0; c < channels_; ++c) exact[c] = chainOf(c);
  uint32_t missed = 0;
  for (uint32_t p = 1; p < pieces_; ++p) {
    e_.pendingLost_ -= pieceLost_[p];
    if (std::equal(exact, exact + channels_, &starts_[p * channels_])) {
      e_.laneBits_[p]->appendTo(writer);
      ++e_.lanePiecesTaken_;
      for (uint32_t c = 0; c < channels_; ++c) exact[c] = chainOf(p * channels_ + c);
      continue;
    }
    ++missed;
    e_.uncountedLost_ += pieceLost_[p];
    for (uint32_t c = 0; c < channels_; ++c) exact[c].into(states[c]);
    walkChained(states, sampleAt(p * channels_, kWarmUpFrames), sampleAt(p * channels_, steps_),
                writer);
    for (uint32_t c = 0; c < channels_; ++c) exact[c] = ChainState::of(states[c]);
  }
  for (uint32_t c = 0; c < channels_; ++c) exact[c].into(states[c]);
  walkChained(states, sampleAt(lanes_ - channels_, steps_), from_ + frames_ * w_.stride, writer);
  e_.lanePiecesMissed_ += missed;
  // Guesses that miss more often than not cost more than the lanes give.
  if (2 * missed > pieces_ - 1) e_.lanesMissed_ = true;
}

}  // namespace qxw
