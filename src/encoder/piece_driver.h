#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoder/bit_writer.h"
#include "format/frame_pieces.h"
#include "format/progress_meter.h"

namespace qxw {

// A walk that writes the frames in order while carrying a state per channel from frame to frame,
// run in pieces on several threads with the bytes of one walk.
//
// The frames go in rounds; each round is cut into one piece per thread. The first piece of a
// round goes straight out from the exact states. Every other piece starts from a guess a little
// before its first frame and walks the warm-up into nothing: the walk forgets its history, so by
// the piece's first frame the guess has usually met the exact state. A piece is taken only when
// the exact states that arrive from the piece before equal its own there, bit for bit; then
// every later step is the same as in one walk. Otherwise the piece is walked again from the
// exact states. Either way the bytes are those of one walk. The first thread takes a round's
// pieces at the start of the next round, while the others already walk theirs; its own piece is
// shorter by about what taking them costs.
//
// The Walk supplies:
//   State, Result (summed with +=), kWarmUpFrames;
//   Result write(State*, from, to, BitWriter&, bool exact): writes the frames, moving the states
//     past them; exact: whether the states are the exact ones rather than a guess;
//   bool enough(const Result&): whether the results so far decide the run, which then ends
//     short, its bytes incomplete;
//   std::vector<State> guess(at): the guessed states before the frame at `at`;
//   void skip(State*, from, to): moves the states past the frames, writing nothing;
//   static bool same(const State&, const State&).
template <typename Walk>
typename Walk::Result writeInPieces(const Walk& walk, BitWriter& writer, SampleRange samples,
                                    uint32_t channels, typename Walk::State* exact,
                                    unsigned threads, ProgressMeter* meter) {
  using State = typename Walk::State;
  using Result = typename Walk::Result;
  // Per thread and round: at most this many frames, which bounds the memory the pieces hold.
  constexpr size_t kPieceFrames = size_t{1} << 21;
  // Bytes of a piece's bits whose appending costs about as much as walking one frame.
  constexpr uint64_t kAppendedBytesPerFrame = 12;
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(samples.end - samples.begin) / stride;
  if (threads < 2 || frames < 2 * kMinPieceFrames) {
    const Result whole = walk.write(exact, samples.begin, samples.end, writer, true);
    advance(meter, frames);
    return whole;
  }

  // One piece after a round's first: its own bits, the states it assumed at its first frame, and
  // where it ended. A piece is kept from round to round, so its buffers grow once; room for a
  // whole piece of 16-bit samples, which coded samples rarely exceed, costs nothing untouched.
  struct Piece {
    const uint8_t* from = nullptr;
    const uint8_t* to = nullptr;
    std::vector<State> start, end;
    PieceBits bits;
    Result result{};
    explicit Piece(size_t channels) : bits(kPieceFrames * channels * 2) {}

    void writeFrom(const Walk& walk, const std::vector<State>& states, bool exact) {
      start = end = states;
      bits.rewrite([&](BitWriter& w) { result = walk.write(end.data(), from, to, w, exact); });
    }
  };
  const size_t most = std::min<size_t>(threads, (frames + kMinPieceFrames - 1) / kMinPieceFrames);
  // Two sets of pieces, a round's in one and the next round's in the other: the first thread
  // takes a round's pieces at the start of the next, while the other threads already write
  // theirs. The first of each set stays unused: its frames go out direct.
  std::vector<std::unique_ptr<Piece>> pieces;
  for (size_t k = 0; k < 2 * most; ++k) pieces.push_back(std::make_unique<Piece>(channels));
  std::vector<State> states(exact, exact + channels);
  Result sum{};
  bool decided = false;  // the results so far decide the run, which then ends short
  // The pieces [waitingFrom, waitingTo) of the round before, their bytes and its frames.
  size_t waitingFrom = 0, waitingTo = 0, waitingFrames = 0;
  uint64_t waitingBytes = 0;
  // Each taken where it began at the exact states, else walked again from them.
  const auto takeWaiting = [&] {
    for (size_t k = waitingFrom; k < waitingTo && !decided; ++k) {
      Piece& piece = *pieces[k];
      if (!std::equal(states.begin(), states.end(), piece.start.begin(), Walk::same)) {
        piece.writeFrom(walk, states, true);
      }
      piece.bits.appendTo(writer);
      sum += piece.result;
      states = piece.end;
      decided = walk.enough(sum);
    }
    waitingFrom = waitingTo;
  };
  size_t set = 0;
  for (const uint8_t* round = samples.begin; round < samples.end; set = most - set) {
    const size_t left = static_cast<size_t>(samples.end - round) / stride;
    const size_t pieceFrames =
        std::clamp((left + threads - 1) / threads, kMinPieceFrames, kPieceFrames);
    const size_t count = std::min<size_t>(threads, (left + pieceFrames - 1) / pieceFrames);
    const size_t roundFrames = std::min(left, count * pieceFrames);
    // The first thread takes the round before's pieces first: its own piece is shorter by about
    // what that costs, and the others' longer.
    const size_t lighter =
        count < 2 ? 0
                  : std::min<size_t>(waitingBytes / kAppendedBytesPerFrame * (count - 1) / count,
                                     pieceFrames / 2);
    const size_t firstFrames = std::min(roundFrames, pieceFrames - lighter);
    const size_t otherFrames =
        count < 2 ? 0 : (roundFrames - firstFrames + count - 2) / (count - 1);
    for (size_t k = 0; k < count; ++k) {
      const size_t from = k == 0 ? 0 : std::min(roundFrames, firstFrames + (k - 1) * otherFrames);
      const size_t to = k == 0 ? firstFrames : std::min(roundFrames, firstFrames + k * otherFrames);
      pieces[set + k]->from = round + from * stride;
      pieces[set + k]->to = round + to * stride;
    }
    Result first{};
    const size_t takenFrames = waitingFrames;
    onThreads(count, [&](size_t k) {
      Piece& piece = *pieces[set + k];
      if (k == 0) {
        takeWaiting();
        if (decided || writer.failed()) return;
        first = walk.write(states.data(), piece.from, piece.to, writer, true);
        return;
      }
      if (piece.from == piece.to) return;
      const size_t before = static_cast<size_t>(piece.from - samples.begin) / stride;
      const uint8_t* warmFrom = piece.from - std::min(before, Walk::kWarmUpFrames) * stride;
      std::vector<State> guessed = walk.guess(warmFrom);
      walk.skip(guessed.data(), warmFrom, piece.from);
      piece.writeFrom(walk, guessed, false);
    });
    advance(meter, takenFrames);
    waitingFrames = 0;
    if (decided) return sum;
    if (writer.failed()) break;  // none of the rest could reach the output
    sum += first;
    if (walk.enough(sum)) return sum;
    waitingFrom = set + 1;
    waitingTo = set + count;
    waitingBytes = 0;
    for (size_t k = 1; k < count; ++k) waitingBytes += pieces[set + k]->bits.size();
    waitingFrames = roundFrames;
    round += roundFrames * stride;
  }
  if (!writer.failed()) takeWaiting();
  advance(meter, waitingFrames);
  if (decided) return sum;
  std::copy(states.begin(), states.end(), exact);
  return sum;
}

}  // namespace qxw
