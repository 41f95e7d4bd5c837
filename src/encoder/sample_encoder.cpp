#include "encoder/sample_encoder.h"

#include <algorithm>

namespace qxw {

namespace {

struct NoRecording {
  void operator()(int16_t) {}
};

// Words a walk takes room for at a time, and the most one frame can fill: up to three fields a
// sample (code, offset, run count), each completing at most one word.
constexpr size_t kBatchWords = 4096;
constexpr size_t kFrameWords = 3 * kMaxChannels;

}  // namespace

SampleEncoder::SampleEncoder(const EncoderModel& model, const StepTable* steps)
    : model_(model), quantize_(model, steps) {
  for (int c = 0; c < kContextCount; ++c) {
    for (int turned = 0; turned < 2; ++turned) {
      for (int bin = 0; bin < kBinCount; ++bin) {
        const int symbol = symbolOf(bin, turned != 0);
        const int offsetBits = bin == 0 ? 0 : model.binBits[bin];
        const int length = model.codeLength[c][symbol];
        const uint32_t word = model.codeWord[c][symbol];
        const int width = length + offsetBits;
        codes_[c][turned][bin] = {width <= 32 ? word << offsetBits : word,
                                  static_cast<uint8_t>(width), static_cast<uint8_t>(length)};
      }
    }
  }
}

// The channel states are copied in for the walk, where the output's stores cannot alias them,
// and copied back at the end; likewise the bit register.
template <bool kWrite, typename Record>
void SampleEncoder::walk(ChannelState* states, const uint8_t* from, const uint8_t* to,
                         const uint8_t* end, BitWriter* writer, Record& record) {
  const uint32_t channels = model_.channelCount;
  ChannelState local[kMaxChannels];
  std::copy_n(states, channels, local);
  const size_t stride = 2 * size_t{channels};
  const uint32_t runWidth = static_cast<uint32_t>(model_.binBits[0]);
  const uint64_t runError = model_.binBase[1];
  const Quantizer quantize = quantize_;
  const Code(*codes)[2][kBinCount] = codes_;
  BitCursor out{0, 0, nullptr};
  const uint8_t* limit = nullptr;
  if constexpr (kWrite) {
    out = writer->open(kBatchWords);
    limit = out.next + 4 * (kBatchWords - kFrameWords);
  }
  for (const uint8_t* at = from; at < to;) {
    if constexpr (kWrite) {
      if (out.next >= limit) [[unlikely]] {
        writer->close(out);
        // A failed output ends the walk: none of the rest could reach it.
        if (writer->failed()) return;
        out = writer->open(kBatchWords);
        limit = out.next + 4 * (kBatchWords - kFrameWords);
      }
    }
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      ChannelState& st = local[c];
      if (st.runLength > 0) {
        --st.runLength;
        record(st.reconstructed);
        continue;
      }
      const int16_t x = readSample(at);
      const int32_t diff = int32_t{x} - st.lastInput;
      st.lastInput = x;
      const int32_t e = st.error;
      const int32_t f = errorFeedback(e);
      const int32_t target = diff + f;
      QuantizedStep q = quantize(target);
      if (st.reconstructed + q.value >= kGuardHigh || st.reconstructed + q.value < kGuardLow)
          [[unlikely]] {
        q = guard_.step(st.reconstructed, target, e - f + target);
      }
      const int32_t step = q.value;
      const int bin = q.bin;
      st.reconstructed = static_cast<int16_t>(st.reconstructed + step);
      // The whole target counts, also what the guard held back: the error stays exactly input
      // minus reconstruction, and the next steps catch up.
      st.error = e - f + target - step;
      record(st.reconstructed);

      const int prevContext = st.context;
      st.context = bin;
      const bool negative = step < 0;
      const bool turned = negative != (st.lastNegative != 0);
      st.lastNegative = negative;
      if constexpr (kWrite) {
        // The code and the offset go out as one field when they fit in 32 bits together.
        const Code code = codes[prevContext][turned][bin];
        if (code.width <= 32) [[likely]] {
          out.put(code.width, code.field | q.offset);
        } else {
          out.put(code.length, code.field);
          out.put(code.width - code.length, q.offset);
        }
      }
      if ((bin | prevContext) != 0) continue;
      // The run count follows a zero symbol in context 0; a run opens only while the error is
      // small.
      const uint32_t absError = st.error < 0 ? 0u - static_cast<uint32_t>(st.error) : st.error;
      st.runLength = runError >= uint64_t{absError} * 2
                         ? repeatsAfter(at, end, stride, x, static_cast<int>(runWidth))
                         : 0;
      if constexpr (kWrite) out.put(runWidth, st.runLength);
    }
  }
  if constexpr (kWrite) writer->close(out);
  std::copy_n(local, channels, states);
}

void SampleEncoder::encode(ChannelState* states, const uint8_t* from, const uint8_t* to,
                           const uint8_t* end, BitWriter& writer) {
  NoRecording none;
  walk<true>(states, from, to, end, &writer, none);
}

void SampleEncoder::encode(ChannelState* states, const uint8_t* from, const uint8_t* to,
                           const uint8_t* end, BitWriter& writer, Recorder& record) {
  walk<true>(states, from, to, end, &writer, record);
}

void SampleEncoder::skip(ChannelState* states, const uint8_t* from, const uint8_t* to,
                         const uint8_t* end) {
  NoRecording none;
  walk<false>(states, from, to, end, nullptr, none);
}

}  // namespace qxw
