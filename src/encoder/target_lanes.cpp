#include "encoder/target_lanes.h"

#include <algorithm>
#include <climits>
#include <memory>

#include "entropy/symbol_cells.h"
#include "format/vector_support.h"

namespace qxw {

LaneSteps::LaneSteps(const UniformTable& table) : packed_(2 * size_t{kMaxMagnitude} + 1) {
  const SignedLevel* nearest = table.nearestSteps();
  for (int32_t t = -kMaxMagnitude; t <= kMaxMagnitude; ++t) {
    packed_[static_cast<size_t>(t + kMaxMagnitude)] = nearest[t].step * 256 + nearest[t].bin;
  }
}

#ifdef QXW_VECTORS

namespace {

static_assert(kSymbolColumns == 64 && kBinCount == 32, "the lanes' cells");

constexpr size_t kLanes = 16;

// Sixteen lanes, each the walk of one channel of one block. The blocks lie a power of two apart,
// so lanes in step would read the same cache sets and evict one another: each block starts a
// cache line's frames after the one before, and a lane walks while its frame is in its block.
struct LaneGroup {
  __m512i offset;  // of the lane's next sample from the walk's base
  __m512i frame;   // the lane's next frame in its block, below 0 before it starts
  __m512i reconstructed;
  __m512i context;
  __m512i negative;  // all ones after a negative step
  __m512i runLength;
  __mmask16 used;
  const uint8_t* const* end;  // by lane: its block's end
};

// What every lane shares.
struct LaneWalk {
  const uint8_t* base;   // 4-byte aligned
  const int32_t* steps;  // LaneSteps
  const UniformTable& table;
  int runWidth;
  size_t stride;
  int32_t blockFrames;
};

// The samples at base + offsets. Each comes from the aligned 32-bit word that holds it, which
// never reaches into another page than the sample's own.
[[gnu::target("avx512f")]] inline __m512i samplesAt(const uint8_t* base, __m512i offsets,
                                                    __mmask16 lanes) {
  const __m512i words = _mm512_mask_i32gather_epi32(
      _mm512_setzero_si512(), lanes, _mm512_andnot_si512(_mm512_set1_epi32(3), offsets), base, 1);
  const __m512i up = _mm512_sub_epi32(
      _mm512_set1_epi32(16), _mm512_slli_epi32(_mm512_and_si512(offsets, _mm512_set1_epi32(2)), 3));
  return _mm512_srai_epi32(_mm512_sllv_epi32(words, up), 16);
}

// The largest steps that keep the railed lanes' reconstructions 16-bit samples.
void holdAtRails(uint32_t railed, const int32_t* reconstructed, const int32_t* target,
                 const UniformTable& table, int32_t* step, int32_t* bin) {
  for (size_t j = 0; j < kLanes; ++j) {
    if ((railed >> j & 1) == 0) continue;
    const bool negative = target[j] < 0;
    const Level& level = table.atMost(
        static_cast<uint32_t>(negative ? 32768 + reconstructed[j] : 32767 - reconstructed[j]));
    step[j] = negative ? -int32_t{level.magnitude} : level.magnitude;
    bin[j] = level.bin;
  }
}

// The runs that open in the lanes at their samples x of the frame.
void openRuns(uint32_t opening, const int32_t* offset, const uint8_t* const* end, const LaneWalk& w,
              const int32_t* x, int32_t* runLength) {
  for (size_t j = 0; j < kLanes; ++j) {
    if ((opening >> j & 1) == 0) continue;
    runLength[j] = static_cast<int32_t>(
        repeatsAfter(w.base + offset[j], end[j], w.stride, static_cast<int16_t>(x[j]), w.runWidth));
  }
}

// The lanes whose frame is in their block; moves their frames on.
[[gnu::target("avx512f"), gnu::always_inline]] inline __mmask16 walkingLanes(LaneGroup& g,
                                                                             const LaneWalk& w) {
  const __mmask16 walking =
      _mm512_mask_cmplt_epu32_mask(g.used, g.frame, _mm512_set1_epi32(w.blockFrames));
  g.frame = _mm512_add_epi32(g.frame, _mm512_set1_epi32(1));
  return walking;
}

// Moves the walking lanes past their samples x; returns the histogram cells of the symbols they
// code.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i walkLanes(LaneGroup& g,
                                                                        const LaneWalk& w,
                                                                        __mmask16 walking,
                                                                        __m512i x) {
  const __m512i offset = g.offset;
  g.offset = _mm512_add_epi32(offset, _mm512_set1_epi32(static_cast<int32_t>(w.stride)));
  const __mmask16 held = _mm512_mask_test_epi32_mask(walking, g.runLength, g.runLength);
  g.runLength = _mm512_mask_sub_epi32(g.runLength, held, g.runLength, _mm512_set1_epi32(1));
  const __mmask16 coded = walking & ~held;
  const __m512i target = _mm512_sub_epi32(x, g.reconstructed);
  const __m512i entry = _mm512_i32gather_epi32(target, w.steps, 4);
  __m512i step = _mm512_srai_epi32(entry, 8);
  __m512i bin = _mm512_and_si512(entry, _mm512_set1_epi32(0xFF));
  const __m512i room =
      _mm512_add_epi32(_mm512_add_epi32(g.reconstructed, step), _mm512_set1_epi32(32768));
  const __mmask16 railed = _mm512_mask_cmpgt_epu32_mask(coded, room, _mm512_set1_epi32(65535));
  if (railed != 0) {
    alignas(64) int32_t lanes[4][kLanes];
    _mm512_store_si512(lanes[0], g.reconstructed);
    _mm512_store_si512(lanes[1], target);
    _mm512_store_si512(lanes[2], step);
    _mm512_store_si512(lanes[3], bin);
    holdAtRails(railed, lanes[0], lanes[1], w.table, lanes[2], lanes[3]);
    step = _mm512_load_si512(lanes[2]);
    bin = _mm512_load_si512(lanes[3]);
  }
  g.reconstructed = _mm512_mask_add_epi32(g.reconstructed, coded, g.reconstructed, step);
  const __m512i negative = _mm512_srai_epi32(step, 31);
  const __m512i turn = _mm512_xor_si512(negative, g.negative);
  const __mmask16 turned =
      _mm512_mask_test_epi32_mask(_mm512_test_epi32_mask(bin, bin), turn, turn);
  const __m512i symbol = _mm512_mask_add_epi32(bin, turned, bin, _mm512_set1_epi32(kBinCount - 1));
  const __m512i cell = _mm512_mask_or_epi32(_mm512_set1_epi32(kNoCell), coded,
                                            _mm512_slli_epi32(g.context, 6), symbol);
  if (w.runWidth > 0) {
    const __m512i zeros = _mm512_or_si512(bin, g.context);
    const __mmask16 opening = _mm512_mask_testn_epi32_mask(coded, zeros, zeros);
    if (opening != 0) {
      alignas(64) int32_t lanes[3][kLanes];
      _mm512_store_si512(lanes[0], offset);
      _mm512_store_si512(lanes[1], x);
      _mm512_store_si512(lanes[2], g.runLength);
      openRuns(opening, lanes[0], g.end, w, lanes[1], lanes[2]);
      g.runLength = _mm512_load_si512(lanes[2]);
    }
  }
  g.context = _mm512_mask_mov_epi32(g.context, coded, bin);
  g.negative = _mm512_mask_mov_epi32(g.negative, coded, negative);
  return cell;
}

// Walks the groups over `frames` frames, all of their blocks', counting the cells into four tables
// in turn, a chunk of frames at a time. The groups are named copies, which the compiler keeps in
// registers where it would keep an array in memory. With kStereo, the two groups are the two
// channels of the same blocks, and one load gives both their samples.
template <size_t kGroups, bool kStereo>
[[gnu::target("avx512f")]] void walkBlocks(const LaneGroup* groups, const LaneWalk& w,
                                           size_t frames, uint32_t (*tables)[kNoCell + 1]) {
  static_assert(!kStereo || kGroups == 2);
  LaneGroup first = groups[0];
  LaneGroup second = groups[kGroups - 1];
  constexpr size_t kChunkFrames = 256;
  alignas(64) uint16_t cells[kChunkFrames][kGroups * kLanes];
  for (size_t f = 0; f < frames;) {
    const size_t n = std::min(kChunkFrames, frames - f);
    for (size_t i = 0; i < n; ++i, ++f) {
      __m512i cellsOfFirst, cellsOfSecond;
      if constexpr (kStereo) {
        const __mmask16 walking = walkingLanes(first, w);
        const __m512i frame =
            _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), walking, first.offset, w.base, 1);
        cellsOfFirst =
            walkLanes(first, w, walking, _mm512_srai_epi32(_mm512_slli_epi32(frame, 16), 16));
        cellsOfSecond = walkLanes(second, w, walking, _mm512_srai_epi32(frame, 16));
      } else {
        const __mmask16 walking = walkingLanes(first, w);
        cellsOfFirst = walkLanes(first, w, walking, samplesAt(w.base, first.offset, walking));
        if constexpr (kGroups == 2) {
          const __mmask16 alsoWalking = walkingLanes(second, w);
          cellsOfSecond =
              walkLanes(second, w, alsoWalking, samplesAt(w.base, second.offset, alsoWalking));
        }
      }
      _mm256_store_si256(reinterpret_cast<__m256i*>(cells[i]), _mm512_cvtepi32_epi16(cellsOfFirst));
      if constexpr (kGroups == 2) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(cells[i] + kLanes),
                           _mm512_cvtepi32_epi16(cellsOfSecond));
      }
    }
    const uint16_t* cell = cells[0];
    for (size_t i = 0; i < n * kGroups * kLanes; i += 4) {
      for (size_t t = 0; t < 4; ++t) ++tables[t][cell[i + t]];
    }
  }
}

}  // namespace

[[gnu::target("avx512f")]] bool countTargetBlocks(const TargetWalk& walk, const LaneSteps& steps,
                                                  SampleRange samples, size_t blockFrames,
                                                  size_t first, size_t last, SymbolCounts& counts) {
  const uint32_t channels = walk.channels;
  const size_t lanes = (last - first) * channels;
  const size_t stride = 2 * size_t{channels};
  const size_t lateness = (64 + stride - 1) / stride;  // a cache line's frames
  const size_t blocks = last - first;
  if (!wideVectorsAvailable() || lanes > kTargetLanes ||
      reinterpret_cast<uintptr_t>(samples.begin) % 2 != 0 ||
      (blocks + 1) * (blockFrames + lateness) * stride > INT32_MAX) {
    return false;
  }
  if (lanes == 0) return true;
  const auto* base = reinterpret_cast<const uint8_t*>(
      reinterpret_cast<uintptr_t>(samples.begin + first * blockFrames * stride) & ~uintptr_t{3});
  const uint8_t* end[kTargetLanes];
  alignas(64) int32_t lane[4][kTargetLanes];  // offset, frame, reconstruction, run
  // Stereo lanes hold the left channels of the blocks, then the right ones; the others the
  // channels of a block in turn. Lanes past the blocks walk the first lane's samples and count
  // nothing.
  const bool stereo = channels == 2;
  for (size_t j = 0; j < kTargetLanes; ++j) {
    const bool used = stereo ? j % kLanes < blocks : j < lanes;
    const size_t block = !used ? 0 : stereo ? j % kLanes : j / channels;
    const size_t channel = !used ? 0 : stereo ? j / kLanes : j % channels;
    const uint8_t* blockStart = samples.begin + (first + block) * blockFrames * stride;
    const uint8_t* start = blockStart + 2 * channel;
    const size_t late = block * lateness;
    end[j] = blockStart + blockFrames * stride;
    lane[0][j] = static_cast<int32_t>(start - base) - static_cast<int32_t>(late * stride);
    lane[1][j] = -static_cast<int32_t>(late);
    lane[2][j] = blockStart == samples.begin ? 0 : readSample(start - stride);
    lane[3][j] = 0;
  }
  LaneGroup groups[2];
  for (size_t k = 0; k < 2; ++k) {
    const size_t below =
        stereo ? blocks : std::clamp(lanes, k * kLanes, (k + 1) * kLanes) - k * kLanes;
    groups[k] = {_mm512_load_si512(lane[0] + k * kLanes),
                 _mm512_load_si512(lane[1] + k * kLanes),
                 _mm512_load_si512(lane[2] + k * kLanes),
                 _mm512_setzero_si512(),
                 _mm512_setzero_si512(),
                 _mm512_setzero_si512(),
                 static_cast<__mmask16>((uint32_t{1} << below) - 1),
                 end + k * kLanes};
  }
  const LaneWalk w{base,   steps.bySignedTarget(),           walk.table, walk.runWidth,
                   stride, static_cast<int32_t>(blockFrames)};
  const size_t frames = blockFrames + (blocks - 1) * lateness;
  auto tables = std::make_unique<uint32_t[][kNoCell + 1]>(4);
  if (stereo) {
    walkBlocks<2, true>(groups, w, frames, tables.get());
  } else if (lanes > kLanes) {
    walkBlocks<2, false>(groups, w, frames, tables.get());
  } else {
    walkBlocks<1, false>(groups, w, frames, tables.get());
  }
  for (uint32_t cell = 0; cell < kNoCell; ++cell) {
    for (size_t t = 0; t < 4; ++t) {
      counts[cell / kSymbolColumns][cell % kSymbolColumns] += tables[t][cell];
    }
  }
  return true;
}

#else

bool countTargetBlocks(const TargetWalk&, const LaneSteps&, SampleRange, size_t, size_t, size_t,
                       SymbolCounts&) {
  return false;
}

#endif

}  // namespace qxw
