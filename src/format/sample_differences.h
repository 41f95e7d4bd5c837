#pragma once

#include <cstddef>
#include <cstdint>

namespace qxw {

// Differences of 16-bit samples, sixteen at a time in vector lanes where the machine has them.

// The differences of channel `channel` of count frames of `channels` samples from `frames` on,
// each to the sample before (`before` for the first), into out.
void channelDifferences(const uint8_t* frames, size_t count, uint32_t channels, uint32_t channel,
                        int32_t before, int32_t* out);

// The distances |s[i] - s[i - apart]| between the samples from `samples` on, for i from apart up
// to count, into out[i].
void sampleDistances(const uint8_t* samples, size_t count, uint32_t apart, uint32_t* out);

}  // namespace qxw
