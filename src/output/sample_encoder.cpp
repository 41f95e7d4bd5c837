#include "output/sample_encoder.h"

namespace qxw {

int32_t quantize(const EncoderModel& model, int32_t target, int& bin, uint32_t& offset) {
  if (target == 0) {
    bin = 0;
    return 0;
  }
  const bool negative = target < 0;
  const uint32_t mag = negative ? 0u - static_cast<uint32_t>(target) : static_cast<uint32_t>(target);
  int b = findBin(model.binBase, mag);
  const int shift = model.binShift[b];
  const uint32_t half = (1u << shift) >> 1;
  uint32_t off = (mag - model.binBase[b] + half) >> shift;
  uint32_t value = model.binBase[b] + (off << shift);
  if (b == 0) {
    // Zero rule: round to zero or to bin 1's base; an exact tie goes to zero.
    off = 0;
    if (uint64_t{mag} * 2 <= model.binBase[1]) {
      value = 0;
    } else {
      b = 1;
      value = model.binBase[1];
    }
  } else if (uint64_t{off} + 1 >= (uint64_t{1} << model.binBits[b])) {
    off = (1u << model.binBits[b]) - 1;
    value = model.binBase[b] + (off << shift);
    // Past the bin's top level: the next bin's base wins only when strictly nearer.
    if (b < 31 && static_cast<int64_t>(mag) - value > int64_t{model.binBase[b + 1]} - mag) {
      b += 1;
      off = 0;
      value = model.binBase[b];
    }
  }
  bin = b;
  offset = off;
  return negative ? -static_cast<int32_t>(value) : static_cast<int32_t>(value);
}

void writeRunLength(const EncoderModel& model, BitWriter& writer, uint32_t count) {
  writer.writeBits(model.binBits[0], count);
}

namespace {

struct NoRecording {
  void operator()(int16_t) {}
};

struct Recording {
  std::vector<int16_t>& out;
  void operator()(int16_t value) { out.push_back(value); }
};

// Counts the following frames whose sample in this channel repeats the current one, as far as
// the run-count width allows.
uint32_t lookAhead(const EncoderModel& model, const uint8_t* at, const uint8_t* end, int16_t value) {
  const uint64_t limit = uint64_t{1} << model.binBits[0];
  const size_t stride = 2 * size_t{model.channelCount};
  uint32_t run = 0;
  for (const uint8_t* next = at + stride; run + uint64_t{1} < limit; next += stride) {
    if (next >= end || readSample(next) != value) break;
    ++run;
  }
  return run;
}

template <typename Record>
void encodeChannelSample(EncoderModel& model, BitWriter& writer, ChannelState& st,
                         const uint8_t* at, const uint8_t* end, Record& record) {
  const int16_t x = readSample(at);
  const int32_t diff = int32_t{x} - st.lastInput;
  st.lastInput = x;
  const int32_t e = st.error;
  const int32_t f = errorFeedback(e);
  st.error = e - f;
  int32_t target = diff + f;

  int bin = 0;
  uint32_t offset = 0;
  int32_t step = quantize(model, target, bin, offset);
  // Keep the unwrapped reconstruction within a 17-bit range.
  while (st.reconstructed + step >= 65536) step = quantize(model, --target, bin, offset);
  while (st.reconstructed + step < -65536) step = quantize(model, ++target, bin, offset);

  st.reconstructed = static_cast<int16_t>(static_cast<uint16_t>(st.reconstructed + step));
  st.error += target - step;
  record(st.reconstructed);

  const int prevContext = st.context;
  st.context = bin;
  const bool negative = step < 0;
  const int symbol = (bin != 0 && negative != (st.lastNegative != 0)) ? bin + 31 : bin;
  st.lastNegative = negative;

  writer.writeBits(model.codeLength[prevContext][symbol], model.codeWord[prevContext][symbol]);
  if (symbol != 0) {
    writer.writeBits(model.binBits[bin], offset);
    return;
  }
  if (prevContext != 0) return;
  st.runLength = 0;
  // A run opens only while the error is small.
  const uint32_t absError = st.error < 0 ? 0u - static_cast<uint32_t>(st.error) : st.error;
  if (model.binBase[1] >= uint64_t{absError} * 2) st.runLength = lookAhead(model, at, end, x);
  writeRunLength(model, writer, st.runLength);
}

template <typename Record>
void encodeAll(EncoderModel& model, BitWriter& writer, SampleRange samples, Record record) {
  const uint8_t* at = samples.begin;
  while (at < samples.end) {
    for (uint32_t c = 0; c < model.channelCount; ++c, at += 2) {
      ChannelState& st = model.channels[c];
      if (st.runLength > 0) {
        --st.runLength;
        record(st.reconstructed);
        continue;
      }
      encodeChannelSample(model, writer, st, at, samples.end, record);
    }
  }
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
