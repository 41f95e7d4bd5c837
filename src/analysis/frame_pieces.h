#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

#include "analysis/sample_range.h"

namespace qxw {

// Whole frames of a sample range, cut for several threads.
struct FramePiece {
  const uint8_t* begin;
  const uint8_t* end;
  size_t firstFrame;
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
    pieces.push_back({samples.begin + first * stride, samples.begin + last * stride, first});
  }
  return pieces;
}

// Runs work(k) for k = 0..count-1, the first on the calling thread and each other on its own.
template <typename Work>
void onThreads(size_t count, Work work) {
  std::vector<std::thread> workers;
  for (size_t k = 1; k < count; ++k) workers.emplace_back(work, k);
  work(size_t{0});
  for (auto& worker : workers) worker.join();
}

}  // namespace qxw
