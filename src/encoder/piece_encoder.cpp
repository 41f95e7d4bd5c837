#include "encoder/piece_encoder.h"

#include <algorithm>
#include <memory>
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
  // The error feedback forgets its history within a few thousand frames.
  static constexpr size_t kWarmUpFrames = 24576;

  const EncoderModel& model;
  const StepTable* steps;
  SampleRange samples;
  const Recording& recording;

  Result write(ChannelState* states, const uint8_t* from, const uint8_t* to,
               BitWriter& writer) const {
    SampleEncoder encoder(model, steps);
    const uint64_t digest = encodeRecorded(encoder, states, samples, from, to, writer, recording);
    return {encoder.lostSamples(), digest};
  }
  // The previous input sample as reconstruction, no error, context and sign from the raw
  // difference, no run.
  std::vector<ChannelState> guess(const uint8_t* at) const {
    const uint32_t channels = model.channelCount;
    const size_t stride = 2 * size_t{channels};
    std::vector<ChannelState> states(channels, ChannelState{});
    for (uint32_t c = 0; c < channels && at != samples.begin; ++c) {
      const int16_t last = readSample(at - stride + 2 * c);
      const int16_t before = at - stride > samples.begin ? readSample(at - 2 * stride + 2 * c) : 0;
      int bin = 0;
      uint32_t offset = 0;
      const int32_t step = quantize(model, int32_t{last} - before, bin, offset);
      ChannelState& st = states[c];
      st.lastInput = last;
      st.reconstructed = last;
      st.context = bin;
      st.lastNegative = step < 0;
    }
    return states;
  }
  void skip(ChannelState* states, const uint8_t* from, const uint8_t* to) const {
    SampleEncoder(model, steps).skip(states, from, to, samples.end);
  }
  static bool same(const ChannelState& a, const ChannelState& b) {
    return a.lastInput == b.lastInput && a.reconstructed == b.reconstructed && a.error == b.error &&
           a.context == b.context && a.lastNegative == b.lastNegative && a.runLength == b.runLength;
  }
};

}  // namespace

uint64_t encodeSamplesInPieces(EncoderModel& model, BitWriter& writer, SampleRange samples,
                               unsigned threads, Recording recording) {
  // A step table pays for itself from kStepTableSamples on.
  std::unique_ptr<StepTable> steps;
  if (samples.sampleCount() >= kStepTableSamples) {
    steps = std::make_unique<StepTable>(model, BinLookup(model.binBase));
  }
  const LevelWalk walk{model, steps.get(), samples, recording};
  const LevelWalk::Result result = writeInPieces(walk, writer, samples, model.channelCount,
                                                 model.channels.get(), threads, model.meter);
  if (recording.digest != nullptr) *recording.digest = result.digest;
  return result.lost;
}

}  // namespace qxw
