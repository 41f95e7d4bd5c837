#pragma once

// What the passes that work in 512-bit vector lanes need: the intrinsics, where the compiler
// has them (QXW_VECTORS), and whether the machine runs them. Those passes are compiled for
// such vectors function by function and called only where the machine has them, so that one
// build runs everywhere.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QXW_VECTORS 1
#if defined(__clang__)
#include <immintrin.h>
#else
// The intrinsics leave lanes undefined on purpose, which g++ 12 takes for uninitialized reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
#endif

#include <atomic>
#include <cstdint>

namespace qxw {

// Whether the passes may use wide vectors where the machine has them; tests turn them off to
// hold the vector passes to the plain ones.
inline std::atomic<bool>& wideVectorsWanted() {
  static std::atomic<bool> wanted{true};
  return wanted;
}

#ifdef QXW_VECTORS

inline bool wideVectorsAvailable() {
  static const bool available = __builtin_cpu_supports("avx512f");
  return available && wideVectorsWanted().load(std::memory_order_relaxed);
}

// Whether the machine's shifts take their width from any register (BMI2), which keeps the bit
// readers' and writers' chains short; off with the wide vectors, so that tests reach the plain
// code too.
inline bool registerShiftsAvailable() {
  static const bool available = __builtin_cpu_supports("bmi2");
  return available && wideVectorsWanted().load(std::memory_order_relaxed);
}

// Lane 15 of v.
[[gnu::target("avx512f")]] inline int32_t lastLane(__m512i v) {
  return _mm_cvtsi128_si32(_mm512_castsi512_si128(_mm512_alignr_epi32(v, v, 15)));
}

// 16 samples from `at` on, in 32-bit lanes.
[[gnu::target("avx512f")]] inline __m512i sampleLanes(const uint8_t* at) {
  return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
}

// A channel's samples in 16 frames from `frames` on, mono or stereo, in 32-bit lanes.
[[gnu::target("avx512f")]] inline __m512i channelLanes(const uint8_t* frames, uint32_t channels,
                                                       uint32_t channel) {
  if (channels == 1)
    return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames)));
  // A frame is a lane: the left sample in its low half, the right in its high.
  const __m512i both = _mm512_loadu_si512(frames);
  return channel == 0 ? _mm512_srai_epi32(_mm512_slli_epi32(both, 16), 16)
                      : _mm512_srai_epi32(both, 16);
}

// The differences of a channel's samples in lanes to the lane before, lane 15 of `before` for
// the first.
[[gnu::target("avx512f")]] inline __m512i laneDifferences(__m512i samples, __m512i before) {
  return _mm512_sub_epi32(samples, _mm512_alignr_epi32(samples, before, 15));
}

#else

inline bool wideVectorsAvailable() { return false; }
inline bool registerShiftsAvailable() { return false; }

#endif

}  // namespace qxw
