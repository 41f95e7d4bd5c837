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
// exact states. Either way the bytes are those of one walk.
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
  std::vector<std::unique_ptr<Piece>> pieces;  // the first stays unused: its frames go out direct
  for (size_t k = 0; k < most; ++k) pieces.push_back(std::make_unique<Piece>(channels));
  std::vector<State> states(exact, exact + channels);
  Result sum{};
  for (const uint8_t* round = samples.begin; round < samples.end;) {
    const size_t left = static_cast<size_t>(samples.end - round) / stride;
    const size_t pieceFrames =
        std::clamp((left + threads - 1) / threads, kMinPieceFrames, kPieceFrames);
    const size_t count = std::min<size_t>(threads, (left + pieceFrames - 1) / pieceFrames);
    for (size_t k = 0; k < count; ++k) {
      pieces[k]->from = round + k * pieceFrames * stride;
      pieces[k]->to = pieces[k]->from + std::min(pieceFrames, left - k * pieceFrames) * stride;
    }
    Result first{};
    onThreads(count, [&](size_t k) {
      Piece& piece = *pieces[k];
      if (k == 0) {
        first = walk.write(states.data(), piece.from, piece.to, writer, true);
        return;
      }
      const size_t before = static_cast<size_t>(piece.from - samples.begin) / stride;
      const uint8_t* warmFrom = piece.from - std::min(before, Walk::kWarmUpFrames) * stride;
      std::vector<State> guessed = walk.guess(warmFrom);
      walk.skip(guessed.data(), warmFrom, piece.from);
      piece.writeFrom(walk, guessed, false);
    });
    sum += first;
    if (walk.enough(sum)) return sum;
    for (size_t k = 1; k < count; ++k) {
      Piece& piece = *pieces[k];
      if (!std::equal(states.begin(), states.end(), piece.start.begin(), Walk::same)) {
        piece.writeFrom(walk, states, true);
      }
      piece.bits.appendTo(writer);
      sum += piece.result;
      states = piece.end;
      if (walk.enough(sum)) return sum;
    }
    advance(meter, static_cast<size_t>(pieces[count - 1]->to - round) / stride);
    if (writer.failed()) break;  // none of the rest could reach the output
    round = pieces[count - 1]->to;
  }
  std::copy(states.begin(), states.end(), exact);
  return sum;
}

}  // namespace qxw
