#include "output/sample_encoder.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "analysis/frame_pieces.h"
#include "entropy/bin_lookup.h"
#include "format/reconstruction_digest.h"

namespace qxw {

void writeRunLength(const EncoderModel& model, BitWriter& writer, uint32_t count) {
  writer.writeBits(model.binBits[0], count);
}

StepTable::StepTable(const EncoderModel& model, const BinLookup& binOf)
    : entries_(std::make_unique<Entry[]>(kMaxMagnitude + 1)) {
  for (int32_t m = 0; m <= kMaxMagnitude; ++m) {
    int bin = 0;
    uint32_t offset = 0;
    const int32_t value = quantizeWith(model, binOf, m, bin, offset);
    entries_[m] = {static_cast<uint32_t>(value), static_cast<uint16_t>(offset),
                   static_cast<uint8_t>(bin)};
  }
}

int32_t RangeGuard::quantizeTarget(int32_t target, int& bin, uint32_t& offset) const {
  const uint32_t magnitude = target < 0 ? 0u - static_cast<uint32_t>(target) : target;
  if (steps_ != nullptr && magnitude != 0 && magnitude <= kMaxMagnitude) {
    const StepTable::Entry& entry = (*steps_)[magnitude];
    bin = entry.bin;
    offset = entry.offset;
    return target < 0 ? -static_cast<int32_t>(entry.value) : static_cast<int32_t>(entry.value);
  }
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

int32_t RangeGuard::step(int32_t reconstructed, int32_t& target, int& bin, uint32_t& offset,
                         int32_t errorBefore) {
  const int32_t held = heldStep(reconstructed, target, bin, offset);
  // A step held back this far means the table offers no level that reaches the signal.
  const int32_t after = errorBefore - held;
  lost_ += after >= kLostError || after <= -kLostError ? 1 : 0;
  return held;
}

int32_t RangeGuard::heldStep(int32_t reconstructed, int32_t& target, int& bin, uint32_t& offset) {
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

// Keeps what was asked of the reconstruction: every sample in its place when samples is given,
// and always the digest of the samples seen, from `position` on.
struct Recorder {
  int16_t* samples;
  uint64_t position;
  uint64_t digest = 0;
  void operator()(int16_t value) {
    if (samples != nullptr) samples[position] = value;
    digest += digestTerm(position++, value);
  }
};

// Everything one pass of the encoder reads besides the samples.
class SampleEncoder {
 public:
  // steps: when given, the quantizer's answers for the magnitudes it covers.
  SampleEncoder(const EncoderModel& model, BitWriter& writer, const StepTable* steps = nullptr)
      : model_(model), writer_(writer), binOf_(model.binBase), steps_(steps) {}

  template <typename Record>
  void encode(ChannelState& st, const uint8_t* at, const uint8_t* end, Record& record);

  // Steps the range guard held back that left the reconstruction kLostError or more from the
  // input.
  uint64_t lostSamples() const { return guard_.lostSteps(); }

 private:
  uint32_t lookAhead(const uint8_t* at, const uint8_t* end, int16_t value) const;

  const EncoderModel& model_;
  BitWriter& writer_;
  const BinLookup binOf_;
  const StepTable* steps_;
  RangeGuard guard_{model_, binOf_, steps_};
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
  int32_t step;
  const uint32_t magnitude = target < 0 ? 0u - static_cast<uint32_t>(target) : target;
  if (steps_ != nullptr && magnitude <= kMaxMagnitude) {
    const StepTable::Entry& entry = (*steps_)[magnitude];
    bin = entry.bin;
    offset = entry.offset;
    step = target < 0 ? -static_cast<int32_t>(entry.value) : static_cast<int32_t>(entry.value);
  } else {
    step = quantizeWith(model_, binOf_, target, bin, offset);
  }
  const int32_t sum = st.reconstructed + step;
  if (sum >= kGuardHigh || sum < kGuardLow) {
    int32_t guarded = target;
    step = guard_.step(st.reconstructed, guarded, bin, offset, st.error + target);
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

// Encodes the frames in [from, to) with the channel states given; runs may look ahead to end.
template <typename Record>
void encodeFrames(SampleEncoder& encoder, ChannelState* states, uint32_t channels,
                  const uint8_t* from, const uint8_t* to, const uint8_t* end, Record& record) {
  for (const uint8_t* at = from; at < to;) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      ChannelState& st = states[c];
      if (st.runLength > 0) {
        --st.runLength;
        record(st.reconstructed);
        continue;
      }
      encoder.encode(st, at, end, record);
    }
  }
}

constexpr size_t kStepTableSamples = size_t{1} << 16;

template <typename Record>
uint64_t encodeAll(EncoderModel& model, BitWriter& writer, SampleRange samples, Record record) {
  std::unique_ptr<StepTable> steps;
  if (samples.sampleCount() >= kStepTableSamples) {
    steps = std::make_unique<StepTable>(model, BinLookup(model.binBase));
  }
  SampleEncoder encoder(model, writer, steps.get());
  // The channel states live in a local copy during the pass, where output writes cannot alias
  // them, and go back to the model at the end.
  const uint32_t channels = model.channelCount;
  std::vector<ChannelState> states(model.channels.get(), model.channels.get() + channels);
  encodeFrames(encoder, states.data(), channels, samples.begin, samples.end, samples.end, record);
  std::copy(states.begin(), states.end(), model.channels.get());
  return encoder.lostSamples();
}

// --- The pass in pieces, on several threads ---
//
// The frames go in rounds; each round is cut into one piece per thread. The first piece of a
// round starts from the exact state. Every other piece starts from a guess a little before its
// first frame (the previous input sample as reconstruction, no error, context and sign from the
// raw difference, no run) and encodes the warm-up frames into nothing: the error feedback forgets
// its history quickly, so by the piece's first frame the guess has usually met the exact state.
// A piece is taken only when the exact state that arrives from the piece before equals its own
// state there, bit for bit; then every later step is the same as in one pass. Otherwise the piece
// is encoded again from the exact state. Either way the bytes are those of one pass.

constexpr size_t kWarmUpFrames = 24576;
// Per thread and round: at most this many, which bounds the memory the pieces hold...
constexpr size_t kPieceFrames = size_t{1} << 20;
// ...and at least this many, so that the warm-up stays small beside the piece; a shorter sound is
// not worth a thread.
constexpr size_t kMinPieceFrames = size_t{1} << 17;

bool sameState(const ChannelState& a, const ChannelState& b) {
  return a.lastInput == b.lastInput && a.reconstructed == b.reconstructed && a.error == b.error &&
         a.context == b.context && a.lastNegative == b.lastNegative && a.runLength == b.runLength;
}

// The guessed state of every channel before the frame at `at`.
std::vector<ChannelState> guessState(const EncoderModel& model, SampleRange samples,
                                     const uint8_t* at) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  std::vector<ChannelState> states(channels, ChannelState{});
  for (uint32_t c = 0; c < channels; ++c) {
    if (at == samples.begin) break;
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

// One piece: its own bit stream, the state it assumed at its first frame, and where it ended.
struct Piece {
  const uint8_t* from = nullptr;
  const uint8_t* to = nullptr;
  std::vector<ChannelState> start;
  std::vector<ChannelState> end;
  std::unique_ptr<OutputStream> stream;
  std::unique_ptr<BitWriter> bits;
  uint64_t lost = 0;
  uint64_t digest = 0;

  // Encodes the piece from the given state, replacing whatever it held; with a recording, keeps
  // the reconstruction as it asks.
  void encodeFrom(const EncoderModel& model, const StepTable& steps, SampleRange samples,
                  std::vector<ChannelState> states, const Recording& recording) {
    stream = std::make_unique<OutputStream>();
    stream->createInMemory();
    bits = std::make_unique<BitWriter>(*stream);
    SampleEncoder encoder(model, *bits, &steps);
    start = states;
    if (recording.wanted()) {
      Recorder record{recording.samples, static_cast<uint64_t>(from - samples.begin) / 2};
      encodeFrames(encoder, states.data(), model.channelCount, from, to, samples.end, record);
      digest = record.digest;
    } else {
      NoRecording none;
      encodeFrames(encoder, states.data(), model.channelCount, from, to, samples.end, none);
    }
    lost = encoder.lostSamples();
    end = std::move(states);
  }

  void guessAndEncode(const EncoderModel& model, const StepTable& steps, SampleRange samples,
                      const Recording& recording) {
    const size_t stride = 2 * size_t{model.channelCount};
    const size_t before = static_cast<size_t>(from - samples.begin) / stride;
    const uint8_t* warmFrom = from - std::min(before, kWarmUpFrames) * stride;
    std::vector<ChannelState> states = guessState(model, samples, warmFrom);
    OutputStream discarded;
    discarded.createDiscarding();
    BitWriter warmBits(discarded);
    SampleEncoder warm(model, warmBits, &steps);
    NoRecording none;
    encodeFrames(warm, states.data(), model.channelCount, warmFrom, from, samples.end, none);
    encodeFrom(model, steps, samples, std::move(states), recording);
  }

  // Appends this piece's bits to the writer.
  void appendTo(BitWriter& writer) {
    stream->close();
    const std::vector<uint8_t>& bytes = stream->contents();
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      writer.writeBits(32, bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) |
                               (static_cast<uint32_t>(bytes[i + 3]) << 24));
    }
    const int tail = bits->bitCount();
    writer.writeBits(tail, tail == 0 ? 0 : bits->accumulator() >> (32 - tail));
  }
};

}  // namespace

void EncoderModel::encodeSamples(BitWriter& writer, SampleRange samples) {
  encodeAll(*this, writer, samples, NoRecording{});
}

uint64_t encodeSamplesInPieces(EncoderModel& model, BitWriter& writer, SampleRange samples,
                               unsigned threads, Recording recording) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(samples.end - samples.begin) / stride;
  if (threads < 2 || frames < 2 * kMinPieceFrames) {
    if (!recording.wanted()) return encodeAll(model, writer, samples, NoRecording{});
    Recorder record{recording.samples, 0};
    const uint64_t lost = encodeAll(model, writer, samples, std::ref(record));
    if (recording.digest != nullptr) *recording.digest = record.digest;
    return lost;
  }
  std::vector<ChannelState> exact(model.channels.get(), model.channels.get() + channels);
  const StepTable steps(model, BinLookup(model.binBase));
  SampleEncoder direct(model, writer, &steps);
  uint64_t lost = 0, digest = 0;
  for (const uint8_t* round = samples.begin; round < samples.end;) {
    const size_t left = static_cast<size_t>(samples.end - round) / stride;
    const size_t pieceFrames =
        std::clamp((left + threads - 1) / threads, kMinPieceFrames, kPieceFrames);
    const size_t count = std::min<size_t>(threads, (left + pieceFrames - 1) / pieceFrames);
    std::vector<Piece> pieces(count);
    for (size_t k = 0; k < count; ++k) {
      pieces[k].from = round + k * pieceFrames * stride;
      pieces[k].to = pieces[k].from + std::min(pieceFrames, left - k * pieceFrames) * stride;
    }
    // The first piece goes straight out from the exact state while the others work.
    onThreads(count, [&](size_t k) {
      if (k > 0) return pieces[k].guessAndEncode(model, steps, samples, recording);
      if (recording.wanted()) {
        Recorder record{recording.samples, static_cast<uint64_t>(pieces[0].from - samples.begin) / 2};
        encodeFrames(direct, exact.data(), channels, pieces[0].from, pieces[0].to, samples.end,
                     record);
        digest += record.digest;
      } else {
        NoRecording none;
        encodeFrames(direct, exact.data(), channels, pieces[0].from, pieces[0].to, samples.end,
                     none);
      }
    });
    for (size_t k = 1; k < count; ++k) {
      Piece& piece = pieces[k];
      if (!std::equal(exact.begin(), exact.end(), piece.start.begin(), sameState)) {
        piece.encodeFrom(model, steps, samples, exact, recording);
      }
      piece.appendTo(writer);
      lost += piece.lost;
      digest += piece.digest;
      exact = piece.end;
    }
    round = pieces.back().to;
  }
  std::copy(exact.begin(), exact.end(), model.channels.get());
  if (recording.digest != nullptr) *recording.digest = digest;
  return lost + direct.lostSamples();
}

}  // namespace qxw
