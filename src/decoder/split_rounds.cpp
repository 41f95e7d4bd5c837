// The decoder's rounds on two threads. In a round the first thread decodes on from its exact
// state while a GuessedPart decodes about as many frames further on, from a guess. When the
// first thread reaches the bit where the part began, it steps a sample at a time until its state
// is one of the part's checkpoints (turned by some channels); the part's samples from there on
// are then the true ones once each channel is put right, and its end state becomes the first
// thread's. A part that is never met, or whose samples would leave the frames, is dropped: the
// first thread decodes on alone, as the samples are always its own or equal to them.
#include <algorithm>

#include "decoder/guessed_part.h"
#include "decoder/sample_decoder.h"

namespace qxw {

namespace {
// The most bits one frame takes: 64 a channel.
uint64_t frameBits(uint32_t channels) { return uint64_t{64} * channels; }
// The end of the data stays the first thread's alone, where the bits can run out and the
// padding is checked.
constexpr uint64_t kEndBits = uint64_t{1} << 16;
}  // namespace

size_t SampleDecoder::splitFrames(int16_t* out, size_t frames) {
  switch (phase_) {
    case Phase::Alone:
      if (startRound(reader_.consumedBits(), frame_)) phase_ = Phase::Ahead;
      return 0;
    case Phase::Ahead:
      if (reader_.consumedBits() + frameBits(header_.channelCount) <= secondStart_) return 0;
      phase_ = Phase::Syncing;
      return syncFrame(out);
    case Phase::Syncing:
      return syncFrame(out);
    case Phase::Serving:
      return serveFrames(out, frames);
  }
  return 0;
}

// While a round is ahead: the frames that cannot pass the second part's start.
size_t SampleDecoder::plainFrames(size_t wanted) const {
  if (phase_ != Phase::Ahead) return wanted;
  const uint64_t bit = reader_.consumedBits();
  const uint64_t before = secondStart_ > bit ? secondStart_ - bit : 0;
  return static_cast<size_t>(std::min<uint64_t>(wanted, before / frameBits(header_.channelCount)));
}

// Starts a round's second part for a first thread that will go on from `bit`, at `frame`: where
// the frames left hold two parts before the end's bits, the part begins about a round's frames
// ahead, by the file's bits a frame. False when none started.
bool SampleDecoder::startRound(uint64_t bit, uint32_t frame) {
  if (split_.threads < 2 || data_ == nullptr || split_.roundFrames == 0) return false;
  const uint64_t total = reader_.totalBits();
  if (frame > header_.frameCount || total < kEndBits) return false;
  // Near the end, a shorter round, so that the last frames are not the first thread's alone.
  const size_t round = std::min<size_t>(split_.roundFrames, (header_.frameCount - frame) / 2);
  if (round == 0 || round < split_.roundFrames / 4) return false;
  const uint64_t bitsPerFrame = std::max<uint64_t>(1, total / header_.frameCount);
  secondStart_ = bit + bitsPerFrame * round;
  splitStop_ = total - kEndBits;
  if (secondStart_ + bitsPerFrame * round / 2 > splitStop_) return false;
  if (!second_) {
    second_ = std::make_unique<GuessedPart>(data_, header_.dataSize, header_.channelCount, *tables_,
                                            2 * split_.roundFrames);
    part_ = LargeBuffer<int16_t>(2 * split_.roundFrames * header_.channelCount);
  }
  // The part goes on until this thread meets it, up to twice a round: a part of sparse bits
  // that ends early leaves a thread idle.
  if (!second_->start(secondStart_, splitStop_, 2 * round)) {
    split_.threads = 1;  // no second thread to be had: alone from here on
    return false;
  }
  return true;
}

int16_t SampleDecoder::decodeOne(uint32_t channel) {
  uint32_t magnitude;
  return decodeSample(channels_[channel], reader_, *tables_, magnitude);
}

// One frame a sample at a time, looking before each sample for a checkpoint of the second part
// at the same bit with the same contexts and runs, its channel 0 being the channel next here.
size_t SampleDecoder::syncFrame(int16_t* out) {
  const uint32_t channels = header_.channelCount;
  second_->waitForCheckpoints();
  for (uint32_t c = 0; c < channels; ++c) {
    const uint64_t bit = reader_.consumedBits();
    if (phase_ == Phase::Syncing && bit > second_->lastCheckpointBit()) endRound(false);
    if (phase_ == Phase::Syncing && bit >= secondStart_) {
      const auto [first, last] = second_->checkpointsAt(bit);
      for (size_t k = first; k < last && phase_ == Phase::Syncing; ++k) {
        const DecodedChannel* theirs = second_->checkpoint(k);
        bool same = true;
        for (uint32_t b = 0; b < channels && same; ++b) {
          const DecodedChannel& ours = channels_[(b + c) % channels];
          same = ours.context == theirs[b].context && ours.pendingRun == theirs[b].pendingRun;
        }
        if (!same) continue;
        if (!takeSecondPart(c, k)) {
          endRound(false);
          break;
        }
        // The rest of this frame is the part's.
        phase_ = Phase::Serving;
        copyPart(channels - c, out + c);
        ++frame_;
        return 1;
      }
    }
    out[c] = decodeOne(c);
  }
  ++frame_;
  return 1;
}

// The part met at checkpoint k, our channel `channel` being its channel 0: taken when its samples
// stay within the frames and no step of it wraps to nothing while keeping its sign.
bool SampleDecoder::takeSecondPart(uint32_t channel, size_t k) {
  // What the part has decoded by now is as much as this thread could have meanwhile.
  second_->stop();
  const uint32_t channels = header_.channelCount;
  const size_t from = k * channels;
  const size_t end = second_->frames() * channels;
  // Our sample index for each of the part's.
  const uint64_t here = uint64_t{frame_} * channels + channel;
  const uint64_t reach = second_->runsEnd() - from + here;
  if (end < from + 2 * channels || second_->wrappedEnd() > from ||
      reach > uint64_t{header_.frameCount} * channels) {
    return false;
  }
  keepPart(channel, k);
  return true;
}

// Moves the part taken at checkpoint k out of the second thread's way and starts the next round's
// part at once, so that it decodes while this one is handed out. Then puts each channel right
// from our state: mirrored while its sign was guessed wrong, which its first zero step ends, in
// place; from there on moved by a constant to our reconstruction, as it is handed out.
void SampleDecoder::keepPart(uint32_t channel, size_t k) {
  const uint32_t channels = header_.channelCount;
  const size_t from = k * channels;
  std::array<DecodedChannel, kMaxChannels> met;
  std::copy_n(second_->checkpoint(k), channels, met.begin());
  second_->swapSamples(part_);
  partEnd_ = second_->frames() * channels;
  partEndBit_ = second_->endBit();
  std::copy_n(second_->endChannels(), channels, partChannels_.begin());
  nextAhead_ = startRound(partEndBit_, frame_ + static_cast<uint32_t>(second_->frames() - k));
  int16_t* samples = part_.get();
  const size_t end = partEnd_;
  for (uint32_t b = 0; b < channels; ++b) {
    const DecodedChannel& ours = channels_[(b + channel) % channels];
    bool mirrored = ours.lastNegative != met[b].lastNegative;
    auto value = static_cast<uint16_t>(ours.reconstructed);
    auto before = static_cast<uint16_t>(met[b].reconstructed);
    size_t i = from + b;
    for (; mirrored && i < end; i += channels) {
      const auto theirs = static_cast<uint16_t>(samples[i]);
      const auto step = static_cast<uint16_t>(theirs - before);
      before = theirs;
      value = static_cast<uint16_t>(value - step);
      mirrored = step != 0;
      samples[i] = static_cast<int16_t>(value);
    }
    const auto move = static_cast<uint16_t>(value - before);
    // The mirrored samples, less the move that handing them out adds back.
    for (size_t m = from + b; m < i; m += channels) {
      samples[m] = static_cast<int16_t>(static_cast<uint16_t>(samples[m]) - move);
    }
    partMoves_[b] = move;
    mirroredAtEnd_[b] = mirrored;
  }
  syncShift_ = channel;
  served_ = from;
}

// Hands out the part's next n samples, each moved by its channel's move.
void SampleDecoder::copyPart(size_t n, int16_t* out) {
  const uint32_t channels = header_.channelCount;
  const int16_t* in = part_.get() + served_;
  const auto moved = [](int16_t sample, uint16_t move) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(sample) + move));
  };
  // The moves from the part's channel of `in` on, so that each frame's samples take them in turn.
  std::array<uint16_t, kMaxChannels> moves;
  for (uint32_t c = 0; c < channels; ++c) moves[c] = partMoves_[(served_ + c) % channels];
  served_ += n;
  size_t i = 0;
  // Mono and stereo in a form the compiler can vectorise.
  if (channels == 1) {
    for (; i < n; ++i) out[i] = moved(in[i], moves[0]);
  } else if (channels == 2) {
    for (; i + 2 <= n; i += 2) {
      out[i] = moved(in[i], moves[0]);
      out[i + 1] = moved(in[i + 1], moves[1]);
    }
  }
  for (uint32_t c = 0; i < n; ++i, c = c + 1 == channels ? 0 : c + 1) {
    out[i] = moved(in[i], moves[c]);
  }
}

// The part's whole frames, then at its end its state as ours and the rest of that frame decoded
// here.
size_t SampleDecoder::serveFrames(int16_t* out, size_t frames) {
  const uint32_t channels = header_.channelCount;
  const size_t whole = std::min(frames, (partEnd_ - served_) / channels);
  copyPart(whole * channels, out);
  frame_ += static_cast<uint32_t>(whole);
  if (whole == frames) return whole;
  return whole + adoptEnd(out + whole * channels);
}

size_t SampleDecoder::adoptEnd(int16_t* out) {
  const uint32_t channels = header_.channelCount;
  const size_t tail = partEnd_ - served_;
  const int16_t* samples = part_.get();
  for (uint32_t b = 0; b < channels; ++b) {
    DecodedChannel& ours = channels_[(b + syncShift_) % channels];
    ours = partChannels_[b];
    // The last sample of each channel, put right.
    const auto last = static_cast<uint16_t>(samples[partEnd_ - channels + b]);
    ours.reconstructed = static_cast<uint16_t>(last + partMoves_[b]);
    ours.lastNegative = partChannels_[b].lastNegative != mirroredAtEnd_[b];
  }
  reader_.seek(partEndBit_);
  copyPart(tail, out);
  endRound(true);
  if (tail == 0) return 0;
  for (uint32_t c = static_cast<uint32_t>(tail); c < channels; ++c) out[c] = decodeOne(c);
  ++frame_;
  return 1;
}

// A round taken may have started the next one already.
void SampleDecoder::endRound(bool taken) {
  if (!taken) second_->stop();
  phase_ = taken && nextAhead_ ? Phase::Ahead : Phase::Alone;
  nextAhead_ = false;
  ++(taken ? roundsTaken_ : roundsGivenUp_);
}

}  // namespace qxw
