#include "encoder/piece_encoder.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "format/frame_pieces.h"

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

// The pass on the calling thread alone.
uint64_t encodeAll(EncoderModel& model, BitWriter& writer, SampleRange samples,
                   const Recording& recording) {
  std::unique_ptr<StepTable> steps;
  if (samples.sampleCount() >= kStepTableSamples) {
    steps = std::make_unique<StepTable>(model, BinLookup(model.binBase));
  }
  SampleEncoder encoder(model, steps.get());
  const uint64_t digest = encodeRecorded(encoder, model.channels.get(), samples, samples.begin,
                                         samples.end, writer, recording);
  if (recording.digest != nullptr) *recording.digest = digest;
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
// Per thread and round: at most this many, which bounds the memory the pieces hold, and at least
// kMinPieceFrames, so that the warm-up stays small beside the piece.
constexpr size_t kPieceFrames = size_t{1} << 20;

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

// One piece after a round's first: its own bit stream, the state it assumed at its first frame,
// and where it ended. A piece is kept from round to round, so its buffers grow once.
struct Piece {
  const uint8_t* from = nullptr;
  const uint8_t* to = nullptr;
  std::vector<ChannelState> start;
  std::vector<ChannelState> end;
  PieceBits bits;
  uint64_t lost = 0;
  uint64_t digest = 0;

  // Room for a whole piece of 16-bit samples, which coded samples rarely exceed; untouched
  // room costs nothing.
  explicit Piece(size_t channels) : bits(kPieceFrames * channels * 2) {}

  // Encodes the piece from the given state, replacing whatever it held.
  void encodeFrom(const EncoderModel& model, const StepTable& steps, SampleRange samples,
                  const std::vector<ChannelState>& states, const Recording& recording) {
    SampleEncoder encoder(model, &steps);
    start = states;
    end = states;
    bits.rewrite([&](BitWriter& writer) {
      digest = encodeRecorded(encoder, end.data(), samples, from, to, writer, recording);
    });
    lost = encoder.lostSamples();
  }

  void guessAndEncode(const EncoderModel& model, const StepTable& steps, SampleRange samples,
                      const Recording& recording) {
    const size_t stride = 2 * size_t{model.channelCount};
    const size_t before = static_cast<size_t>(from - samples.begin) / stride;
    const uint8_t* warmFrom = from - std::min(before, kWarmUpFrames) * stride;
    std::vector<ChannelState> states = guessState(model, samples, warmFrom);
    SampleEncoder(model, &steps).skip(states.data(), warmFrom, from, samples.end);
    encodeFrom(model, steps, samples, states, recording);
  }
};

}  // namespace

uint64_t encodeSamplesInPieces(EncoderModel& model, BitWriter& writer, SampleRange samples,
                               unsigned threads, Recording recording) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(samples.end - samples.begin) / stride;
  if (threads < 2 || frames < 2 * kMinPieceFrames) {
    const uint64_t lost = encodeAll(model, writer, samples, recording);
    advance(model.meter, frames);
    return lost;
  }
  std::vector<ChannelState> exact(model.channels.get(), model.channels.get() + channels);
  const StepTable steps(model, BinLookup(model.binBase));
  SampleEncoder direct(model, &steps);
  const size_t most = std::min<size_t>(threads, (frames + kMinPieceFrames - 1) / kMinPieceFrames);
  std::vector<std::unique_ptr<Piece>> pieces;  // the first stays unused: its frames go out direct
  for (size_t k = 0; k < most; ++k) pieces.push_back(std::make_unique<Piece>(channels));
  uint64_t lost = 0, digest = 0;
  for (const uint8_t* round = samples.begin; round < samples.end;) {
    const size_t left = static_cast<size_t>(samples.end - round) / stride;
    const size_t pieceFrames =
        std::clamp((left + threads - 1) / threads, kMinPieceFrames, kPieceFrames);
    const size_t count = std::min<size_t>(threads, (left + pieceFrames - 1) / pieceFrames);
    for (size_t k = 0; k < count; ++k) {
      pieces[k]->from = round + k * pieceFrames * stride;
      pieces[k]->to = pieces[k]->from + std::min(pieceFrames, left - k * pieceFrames) * stride;
    }
    // The first piece goes straight out from the exact state while the others work.
    onThreads(count, [&](size_t k) {
      if (k > 0) return pieces[k]->guessAndEncode(model, steps, samples, recording);
      digest += encodeRecorded(direct, exact.data(), samples, pieces[0]->from, pieces[0]->to,
                               writer, recording);
    });
    for (size_t k = 1; k < count; ++k) {
      Piece& piece = *pieces[k];
      if (!std::equal(exact.begin(), exact.end(), piece.start.begin(), sameState)) {
        piece.encodeFrom(model, steps, samples, exact, recording);
      }
      piece.bits.appendTo(writer);
      lost += piece.lost;
      digest += piece.digest;
      exact = piece.end;
    }
    advance(model.meter, static_cast<size_t>(pieces[count - 1]->to - round) / stride);
    round = pieces[count - 1]->to;
  }
  std::copy(exact.begin(), exact.end(), model.channels.get());
  if (recording.digest != nullptr) *recording.digest = digest;
  return lost + direct.lostSamples();
}

}  // namespace qxw
