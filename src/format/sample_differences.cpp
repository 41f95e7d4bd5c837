#include "format/sample_differences.h"

#include <cstdlib>

#include "format/byte_order.h"
#include "format/vector_support.h"

namespace qxw {

namespace {

#ifdef QXW_VECTORS

// The whole groups of sixteen of each, in lanes; how far they got.
[[gnu::target("avx512f")]] size_t channelDifferencesInLanes(const uint8_t* frames, size_t count,
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

[[gnu::target("avx512f")]] size_t sampleDistancesInLanes(const uint8_t* samples, size_t count,
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

size_t channelDifferencesInLanes(const uint8_t*, size_t, uint32_t, uint32_t, int32_t, int32_t*) {
  return 0;
}

size_t sampleDistancesInLanes(const uint8_t*, size_t, uint32_t apart, uint32_t*) { return apart; }

#endif

// The rest from i on, a sample at a time: kChannels is the channel count when fixed at compile
// time, so that the compiler vectorises the loop where the machine has no wide lanes, or 0.
template <uint32_t kChannels>
void channelDifferencesFrom(size_t i, const uint8_t* frames, size_t count, uint32_t channels,
                            uint32_t channel, int32_t before, int32_t* out) {
  const size_t stride = 2 * size_t{kChannels != 0 ? kChannels : channels};
  const uint8_t* samples = frames + 2 * size_t{channel};
  if (i == 0 && count > 0) out[i++] = readSample(samples) - before;
  for (; i < count; ++i) {
    out[i] = readSample(samples + i * stride) - readSample(samples + (i - 1) * stride);
  }
}

template <uint32_t kApart>
void sampleDistancesFrom(size_t i, const uint8_t* samples, size_t count, uint32_t apart,
                         uint32_t* out) {
  const size_t back = kApart != 0 ? kApart : apart;
  for (; i < count; ++i) {
    out[i] = static_cast<uint32_t>(
        std::abs(readSample(samples + 2 * (i - back)) - readSample(samples + 2 * i)));
  }
}

}  // namespace

void channelDifferences(const uint8_t* frames, size_t count, uint32_t channels, uint32_t channel,
                        int32_t before, int32_t* out) {
  const size_t i = channelDifferencesInLanes(frames, count, channels, channel, before, out);
  if (channels == 2) return channelDifferencesFrom<2>(i, frames, count, 2, channel, before, out);
  if (channels == 1) return channelDifferencesFrom<1>(i, frames, count, 1, channel, before, out);
  channelDifferencesFrom<0>(i, frames, count, channels, channel, before, out);
}

void sampleDistances(const uint8_t* samples, size_t count, uint32_t apart, uint32_t* out) {
  const size_t i = sampleDistancesInLanes(samples, count, apart, out);
  if (apart == 2) return sampleDistancesFrom<2>(i, samples, count, 2, out);
  if (apart == 1) return sampleDistancesFrom<1>(i, samples, count, 1, out);
  sampleDistancesFrom<0>(i, samples, count, apart, out);
}

}  // namespace qxw
