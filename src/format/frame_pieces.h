#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "format/crew.h"
#include "format/sample_range.h"

namespace qxw {

// Fewer frames than this a piece is not worth a thread of its own.
inline constexpr size_t kMinPieceFrames = size_t{1} << 17;

// Whole frames of a sample range, cut for several threads.
struct FramePiece {
  const uint8_t* begin;
  const uint8_t* end;
};

// Cuts the range into up to `threads` pieces of at least minFrames frames each (one piece when
// the range is shorter than two of them).
inline std::vector<FramePiece> cutIntoPieces(SampleRange samples, uint32_t channels,
                                             unsigned threads, size_t minFrames) {
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(samples.end - samples.begin) / stride;
  const size_t count = std::max<size_t>(1, std::min<size_t>(threads, frames / minFrames));
  std::vector<FramePiece> pieces;
  for (size_t k = 0; k < count; ++k) {
    const size_t first = frames * k / count;
    const size_t last = frames * (k + 1) / count;
    pieces.push_back({samples.begin + first * stride, samples.begin + last * stride});
  }
  return pieces;
}

// Runs work(k) for k = 0..count-1, the first on the calling thread and each other on its own;
// where no thread can be had, on the calling thread too. What a worker throws (memory running
// out, say) is thrown again here once every worker has ended.
template <typename Work>
void onThreads(size_t count, Work work) {
  std::vector<std::exception_ptr> failures(count);
  auto guarded = [&](size_t k) {
    try {
      work(k);
    } catch (...) {
      failures[k] = std::current_exception();
    }
  };
  // The run's crew where it has one, else threads started for the job.
  Crew* crew = CrewScope::current();
  if (crew != nullptr && count > 1 && crew->run(count, std::function<void(size_t)>(guarded))) {
    // done
  } else {
    std::vector<std::thread> workers;
    size_t started = 1;
    for (; started < count; ++started) {
      try {
        workers.emplace_back(guarded, started);
      } catch (const std::system_error&) {
        break;
      }
    }
    guarded(0);
    for (size_t k = started; k < count; ++k) guarded(k);
    for (auto& worker : workers) worker.join();
  }
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// Runs work(worker, k) for k = 0..count-1 on up to `workers` threads (worker below both), each
// k taken by whichever thread is free first. A thread that starts late, or shares its CPU, then
// takes fewer: the pass ends when the last piece does, not when the slowest thread's share does.
template <typename Work>
void takeInTurn(size_t workers, size_t count, Work work) {
  std::atomic<size_t> next{0};
  onThreads(std::min(workers, count), [&](size_t worker) {
    for (size_t k = next.fetch_add(1, std::memory_order_relaxed); k < count;
         k = next.fetch_add(1, std::memory_order_relaxed)) {
      work(worker, k);
    }
  });
}

// Pieces a counting pass cuts its range into for each of its threads, so that they can even out.
inline constexpr unsigned kPiecesPerThread = 4;

// The most pieces countInPieces cuts the range into for `threads` threads.
inline constexpr size_t mostPieces(unsigned threads) { return size_t{threads} * kPiecesPerThread; }

// A counting pass over the frames in pieces: whole() on one thread, or when the range is too
// short to cut in two; else piece(worker, k, pieces[k]) for each piece k (at most
// mostPieces(threads)) taken in turn by `threads` workers, then merge(pieces) on the calling
// thread, in order. A worker takes its pieces one after another, so what it counts into may be
// its own rather than the piece's.
template <typename Whole, typename Piece, typename Merge>
void countInPieces(SampleRange samples, uint32_t channels, unsigned threads, Whole whole,
                   Piece piece, Merge merge) {
  if (threads < 2) return whole();
  const std::vector<FramePiece> pieces =
      cutIntoPieces(samples, channels, mostPieces(threads), kMinPieceFrames);
  if (pieces.size() < 2) return whole();
  takeInTurn(threads, pieces.size(), [&](size_t worker, size_t k) { piece(worker, k, pieces[k]); });
  merge(pieces);
}

}  // namespace qxw
