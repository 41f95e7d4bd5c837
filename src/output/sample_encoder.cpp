#include "output/sample_encoder.h"

#include <algorithm>

#include "entropy/bin_lookup.h"

namespace qxw {

void writeRunLength(const EncoderModel& model, BitWriter& writer, uint32_t count) {
  writer.writeBits(model.binBits[0], count);
}

int32_t RangeGuard::quantizeTarget(int32_t target, int& bin, uint32_t& offset) const {
  return quantizeWith(model_, binOf_, target, bin, offset);
}

// The step is an odd, non-decreasing function of the target for every table the bin layout
// makes; checked once, on the first sample that needs it.
bool RangeGuard::stepGrowsWithTarget() {
  if (monotone_ < 0) {
    monotone_ = 1;
    int bin = 0;
    uint32_t offset = 0;
    int32_t previous = 0;
    for (int32_t t = 1; t <= kMaxMagnitude + 1 && monotone_ == 1; ++t) {
      const int32_t step = quantizeTarget(t, bin, offset);
      if (step < previous) monotone_ = 0;
      previous = step;
    }
  }
  return monotone_ == 1;
}

int32_t RangeGuard::step(int32_t reconstructed, int32_t& target, int& bin, uint32_t& offset) {
  int32_t step = quantizeTarget(target, bin, offset);
  const bool tooHigh = reconstructed + step >= kGuardHigh;
  if (!tooHigh && reconstructed + step >= kGuardLow) return step;
  if (!stepGrowsWithTarget()) {
    while (reconstructed + step >= kGuardHigh) step = quantizeTarget(--target, bin, offset);
    while (reconstructed + step < kGuardLow) step = quantizeTarget(++target, bin, offset);
    return step;
  }
  // Target 0 gives step 0, which always fits; bisect between it and the target.
  int32_t fits = 0;
  int32_t fails = target;
  while (fits - fails > 1 || fails - fits > 1) {
    const int32_t mid = fits + (fails - fits) / 2;
    const int32_t s = quantizeTarget(mid, bin, offset);
    const bool inside = tooHigh ? reconstructed + s < kGuardHigh : reconstructed + s >= kGuardLow;
    (inside ? fits : fails) = mid;
  }
  target = fits;
  return quantizeTarget(target, bin, offset);
}

namespace {

struct NoRecording {
  void operator()(int16_t) {}
};

struct Recording {
  std::vector<int16_t>& out;
  void operator()(int16_t value) { out.push_back(value); }
};

// Everything one pass of the encoder reads besides the samples.
class SampleEncoder {
 public:
  SampleEncoder(const EncoderModel& model, BitWriter& writer)
      : model_(model), writer_(writer), binOf_(model.binBase) {}

  template <typename Record>
  void encode(ChannelState& st, const uint8_t* at, const uint8_t* end, Record& record);

 private:
  uint32_t lookAhead(const uint8_t* at, const uint8_t* end, int16_t value) const;

  const EncoderModel& model_;
  BitWriter& writer_;
  const BinLookup binOf_;
  RangeGuard guard_{model_, binOf_};
};

// Counts the following frames whose sample in this channel repeats the current one, as far as
// the run-count width allows.
uint32_t SampleEncoder::lookAhead(const uint8_t* at, const uint8_t* end, int16_t value) const {
  const uint64_t limit = uint64_t{1} << model_.binBits[0];
  const size_t stride = 2 * size_t{model_.channelCount};
  uint32_t run = 0;
  for (const uint8_t* next = at + stride; run + uint64_t{1} < limit; next += stride) {
    if (next >= end || readSample(next) != value) break;
    ++run;
  }
  return run;
}

template <typename Record>
void SampleEncoder::encode(ChannelState& st, const uint8_t* at, const uint8_t* end,
                           Record& record) {
  const int16_t x = readSample(at);
  const int32_t diff = int32_t{x} - st.lastInput;
  st.lastInput = x;
  const int32_t e = st.error;
  const int32_t f = errorFeedback(e);
  st.error = e - f;
  const int32_t target = diff + f;

  int bin = 0;
  uint32_t offset = 0;
  int32_t step = quantizeWith(model_, binOf_, target, bin, offset);
  const int32_t sum = st.reconstructed + step;
  if (sum >= kGuardHigh || sum < kGuardLow) {
    int32_t guarded = target;
    step = guard_.step(st.reconstructed, guarded, bin, offset);
  }
  st.reconstructed = static_cast<int16_t>(st.reconstructed + step);
  // The whole target counts, also what the guard held back: the error stays exactly input minus
  // reconstruction, and the next steps catch up.
  st.error += target - step;
  record(st.reconstructed);

  const int prevContext = st.context;
  st.context = bin;
  const bool negative = step < 0;
  const bool turned = bin != 0 && negative != (st.lastNegative != 0);
  const int symbol = bin + (turned ? 31 : 0);
  st.lastNegative = negative;

  const int codeLength = model_.codeLength[prevContext][symbol];
  const uint32_t codeWord = model_.codeWord[prevContext][symbol];
  if (symbol != 0) {
    // The code and the offset go out as one field when they fit in 32 bits together.
    const int offsetBits = model_.binBits[bin];
    if (codeLength + offsetBits <= 32) {
      const uint64_t field = (uint64_t{codeWord} << offsetBits) | offset;
      writer_.writeBits(codeLength + offsetBits, static_cast<uint32_t>(field));
    } else {
      writer_.writeBits(codeLength, codeWord);
      writer_.writeBits(offsetBits, offset);
    }
    return;
  }
  writer_.writeBits(codeLength, codeWord);
  if (prevContext != 0) return;
  st.runLength = 0;
  // A run opens only while the error is small.
  const uint32_t absError = st.error < 0 ? 0u - static_cast<uint32_t>(st.error) : st.error;
  if (model_.binBase[1] >= uint64_t{absError} * 2) st.runLength = lookAhead(at, end, x);
  writeRunLength(model_, writer_, st.runLength);
}

template <typename Record>
void encodeAll(EncoderModel& model, BitWriter& writer, SampleRange samples, Record record) {
  SampleEncoder encoder(model, writer);
  // The channel states live in a local copy during the pass, where output writes cannot alias
  // them, and go back to the model at the end.
  const uint32_t channels = model.channelCount;
  std::vector<ChannelState> states(model.channels.get(), model.channels.get() + channels);
  const uint8_t* at = samples.begin;
  while (at < samples.end) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      ChannelState& st = states[c];
      if (st.runLength > 0) {
        --st.runLength;
        record(st.reconstructed);
        continue;
      }
      encoder.encode(st, at, samples.end, record);
    }
  }
  std::copy(states.begin(), states.end(), model.channels.get());
}

}  // namespace

void EncoderModel::encodeSamples(BitWriter& writer, SampleRange samples) {
  encodeAll(*this, writer, samples, NoRecording{});
}

void encodeSamplesRecording(EncoderModel& model, BitWriter& writer, SampleRange samples,
                            std::vector<int16_t>& reconstruction) {
  encodeAll(model, writer, samples, Recording{reconstruction});
}

}  // namespace qxw
