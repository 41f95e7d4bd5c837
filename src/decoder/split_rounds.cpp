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
      startRound();
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

// A round starts where the frames left hold two of its parts before the end's bits: the second
// part begins about a round's frames ahead, by the file's bits a frame.
void SampleDecoder::startRound() {
  if (split_.threads < 2 || data_ == nullptr || split_.roundFrames == 0) return;
  const uint64_t total = reader_.totalBits();
  const size_t round = split_.roundFrames;
  if (framesLeft() < 2 * round || total < kEndBits) return;
  const uint64_t bit = reader_.consumedBits();
  const uint64_t bitsPerFrame = std::max<uint64_t>(1, total / header_.frameCount);
  secondStart_ = bit + bitsPerFrame * round;
  splitStop_ = total - kEndBits;
  if (secondStart_ + bitsPerFrame * round / 2 > splitStop_) return;
  if (!second_) {
    second_ = std::make_unique<GuessedPart>(data_, header_.dataSize, header_.channelCount,
                                            &contexts_[0], symbols_.data(), round);
  }
  if (!second_->start(secondStart_, splitStop_, round)) {
    split_.threads = 1;  // no second thread to be had: alone from here on
    return;
  }
  phase_ = Phase::Ahead;
}

int16_t SampleDecoder::decodeOne(uint32_t channel) {
  BitRegister r = reader_.take();
  uint32_t magnitude;
  const int16_t sample = decodeSample(channels_[channel], r, symbols_.data(), magnitude);
  reader_.give(r);
  return sample;
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
        std::copy_n(second_->samples() + served_, channels - c, out + c);
        served_ += channels - c;
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
// stay within the frames and no step of it wraps to nothing while keeping its sign; then each
// channel is put right from our state, in place: mirrored while its sign was guessed wrong, which
// its first zero step ends, and moved to our reconstruction.
bool SampleDecoder::takeSecondPart(uint32_t channel, size_t k) {
  // What the part has decoded by now is as much as this thread could have meanwhile.
  second_->stop();
  const uint32_t channels = header_.channelCount;
  const size_t from = k * channels;
  const size_t end = second_->frames() * channels;
  // Our sample index for each of the part's.
  const uint64_t here = uint64_t{frame_} * channels + channel;
  const uint64_t reach = std::max<uint64_t>(end, second_->runsEnd()) - from + here;
  const size_t wrapped = second_->firstWrappedStep();
  if (end < from + 2 * channels || (wrapped >= from && wrapped < end) ||
      reach > uint64_t{header_.frameCount} * channels) {
    return false;
  }
  const DecodedChannel* met = second_->checkpoint(k);
  int16_t* samples = second_->samples();
  for (uint32_t b = 0; b < channels; ++b) {
    const DecodedChannel& ours = channels_[(b + channel) % channels];
    bool mirrored = ours.lastNegative != met[b].lastNegative;
    auto value = static_cast<uint16_t>(ours.reconstructed);
    auto before = static_cast<uint16_t>(met[b].reconstructed);
    for (size_t i = from + b; i < end; i += channels) {
      const auto theirs = static_cast<uint16_t>(samples[i]);
      const auto step = static_cast<uint16_t>(theirs - before);
      before = theirs;
      value = static_cast<uint16_t>(mirrored ? value - step : value + step);
      mirrored = mirrored && step != 0;
      samples[i] = static_cast<int16_t>(value);
    }
    mirroredAtEnd_[b] = mirrored;
  }
  syncShift_ = channel;
  served_ = from;
  return true;
}

// The part's whole frames, then at its end its state as ours and the rest of that frame decoded
// here.
size_t SampleDecoder::serveFrames(int16_t* out, size_t frames) {
  const uint32_t channels = header_.channelCount;
  const size_t end = second_->frames() * channels;
  const size_t whole = std::min(frames, (end - served_) / channels);
  std::copy_n(second_->samples() + served_, whole * channels, out);
  served_ += whole * channels;
  frame_ += static_cast<uint32_t>(whole);
  if (whole == frames) return whole;
  return whole + adoptEnd(out + whole * channels);
}

size_t SampleDecoder::adoptEnd(int16_t* out) {
  const uint32_t channels = header_.channelCount;
  const size_t tail = second_->frames() * channels - served_;
  const DecodedChannel* theirs = second_->endChannels();
  const int16_t* samples = second_->samples();
  for (uint32_t b = 0; b < channels; ++b) {
    DecodedChannel& ours = channels_[(b + syncShift_) % channels];
    ours = theirs[b];
    // The last sample of each channel, put right.
    const size_t last = second_->frames() * channels - channels + b;
    ours.reconstructed = samples[last];
    ours.lastNegative = theirs[b].lastNegative != mirroredAtEnd_[b];
  }
  reader_.seek(second_->endBit());
  std::copy_n(samples + served_, tail, out);
  endRound(true);
  if (tail == 0) return 0;
  for (uint32_t c = static_cast<uint32_t>(tail); c < channels; ++c) out[c] = decodeOne(c);
  ++frame_;
  return 1;
}

void SampleDecoder::endRound(bool taken) {
  if (second_) second_->stop();
  phase_ = Phase::Alone;
  ++(taken ? roundsTaken_ : roundsGivenUp_);
}

}  // namespace qxw
