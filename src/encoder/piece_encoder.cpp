#include "encoder/piece_encoder.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "encoder/piece_driver.h"

namespace qxw {

namespace {

// Encodes the frames of [from, to) from states, keeping what the recording asks; the digest of
// those samples.
uint64_t encodeRecorded(SampleEncoder& encoder, ChannelState* states, SampleRange samples,
                        const uint8_t* from, const uint8_t* to, BitWriter& writer,
                        const Recording& recording) {
  if (!recording.wanted()) {
    encoder.encode(states, from, to, samples.end, writer);
    return 0;
  }
  Recorder record{recording.samples, static_cast<uint64_t>(from - samples.begin) / 2};
  encoder.encode(states, from, to, samples.end, writer, record);
  return record.digest;
}

// The lanes' buffers of the encoders that have ended, for the next ones.
class LaneBitsPool {
 public:
  SampleEncoder::LaneBits take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return {};
    SampleEncoder::LaneBits bits = std::move(free_.back());
    free_.pop_back();
    return bits;
  }
  void give(SampleEncoder::LaneBits bits) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(bits));
  }

 private:
  std::mutex mutex_;
  std::vector<SampleEncoder::LaneBits> free_;
};

// The level walk as the piece driver takes it: a coder a call, as the range guard keeps a memory
// of its own, over one shared step table.
struct LevelWalk {
  using State = ChannelState;
  struct Result {
    uint64_t lost = 0;
    uint64_t digest = 0;
    Result& operator+=(const Result& other) {
      lost += other.lost;
      digest += other.digest;
      return *this;
    }
  };
  static constexpr size_t kWarmUpFrames = kLevelWarmUpFrames;

  const EncoderModel& model;
  const StepTable* steps;
  SampleRange samples;
  const Recording& recording;
  uint64_t lostLimit;
  // Whether a piece's lanes have mostly missed their guesses: the sound does not forget them.
  mutable std::atomic<bool> lanesMissed{false};
  // Whether a piece's lanes have found that a warm-up forgets its start, which the other pieces
  // then need not try again.
  mutable std::atomic<bool> warmUpTried{false};
  // Whether a walk from the exact states has lost more than lostLimit samples.
  mutable std::atomic<bool> givenUp{false};
  mutable LaneBitsPool laneBits{};

  Result write(ChannelState* states, const uint8_t* from, const uint8_t* to, BitWriter& writer,
               bool exact) const {
    SampleEncoder encoder(model, steps);
    // Only a walk from the exact states knows its lost samples; the others stop with it.
    encoder.giveUpPast(exact ? lostLimit : UINT64_MAX, givenUp);
    if (lanesMissed) encoder.forgoLanes();
    if (warmUpTried) encoder.skipWarmUpTrial();
    encoder.adoptLaneBits(laneBits.take());
    const uint64_t digest = encodeRecorded(encoder, states, samples, from, to, writer, recording);
    // A trial that failed leaves the lanes missed, which the others learn first.
    if (encoder.lanesMissed()) lanesMissed = true;
    if (encoder.warmUpTried()) warmUpTried = true;
    laneBits.give(encoder.releaseLaneBits());
    return {encoder.lostSamples(), digest};
  }
  std::vector<ChannelState> guess(const uint8_t* at) const {
    std::vector<ChannelState> states(model.channelCount);
    guessChannelStates(model, samples.begin, at, states.data());
    return states;
  }
  void skip(ChannelState* states, const uint8_t* from, const uint8_t* to) const {
    SampleEncoder(model, steps).skip(states, from, to, samples.end);
  }
  bool enough(const Result& sum) const { return givenUp || sum.lost > lostLimit; }
  static bool same(const ChannelState& a, const ChannelState& b) {
    return a.lastInput == b.lastInput && a.reconstructed == b.reconstructed && a.error == b.error &&
           a.context == b.context && a.lastNegative == b.lastNegative && a.runLength == b.runLength;
  }
};

}  // namespace

uint64_t encodeSamplesInPieces(EncoderModel& model, BitWriter& writer, SampleRange samples,
                               unsigned threads, Recording recording, uint64_t lostLimit) {
  // A step table pays for itself from kStepTableSamples on.
  std::unique_ptr<StepTable> steps;
  if (samples.sampleCount() >= kStepTableSamples) {
    // Lanes walk a lossy table's steps where the machine has the vectors.
    const bool lanes =
        wideVectorsAvailable() && !std::all_of(model.binShift, model.binShift + kBinCount,
                                               [](int32_t shift) { return shift == 0; });
    steps = std::make_unique<StepTable>(model, BinLookup(model.binBase), lanes, threads);
  }
  const LevelWalk walk{model, steps.get(), samples, recording, lostLimit};
  const LevelWalk::Result result = writeInPieces(walk, writer, samples, model.channelCount,
                                                 model.channels.get(), threads, model.meter);
  if (recording.digest != nullptr) *recording.digest = result.digest;
  return result.lost;
}

}  // namespace qxw
