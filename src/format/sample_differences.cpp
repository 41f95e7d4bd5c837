#include "format/sample_differences.h"

#include "format/vector_support.h"

namespace qxw {

#ifdef QXW_VECTORS

[[gnu::target("avx512f")]] size_t channelDifferences(const uint8_t* frames, size_t count,
                                                     uint32_t channels, uint32_t channel,
                                                     int32_t before, int32_t* out) {
  if (!wideVectorsAvailable() || channels > 2) return 0;
  const size_t stride = 2 * size_t{channels};
  __m512i samplesBefore = _mm512_set1_epi32(before);
  size_t i = 0;
  for (; count - i >= 16; i += 16) {
    const __m512i samples = channelLanes(frames + i * stride, channels, channel);
    _mm512_storeu_si512(out + i, laneDifferences(samples, samplesBefore));
    samplesBefore = samples;
  }
  return i;
}

[[gnu::target("avx512f")]] size_t sampleDistances(const uint8_t* samples, size_t count,
                                                  uint32_t apart, uint32_t* out) {
  size_t i = apart;
  if (!wideVectorsAvailable()) return i;
  for (; count >= i + 16; i += 16) {
    const __m512i difference =
        _mm512_sub_epi32(sampleLanes(samples + 2 * i), sampleLanes(samples + 2 * (i - apart)));
    _mm512_storeu_si512(out + i, _mm512_abs_epi32(difference));
  }
  return i;
}

#else

size_t channelDifferences(const uint8_t*, size_t, uint32_t, uint32_t, int32_t, int32_t*) {
  return 0;
}

size_t sampleDistances(const uint8_t*, size_t, uint32_t apart, uint32_t*) { return apart; }

#endif

}  // namespace qxw
