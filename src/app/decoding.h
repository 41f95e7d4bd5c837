#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qxw/qxw.h"

namespace qxw {

struct DecoderCloser {
  void operator()(qxw_decoder* decoder) const { qxw_decoder_close(decoder); }
};
using Decoder = std::unique_ptr<qxw_decoder, DecoderCloser>;

// Frames decoded at a time: large enough that the calls cost nothing, small enough to stay in
// cache.
inline constexpr size_t kBlockFrames = 16384;

// Reads every frame with read(samples, maxFrames, frames), handing each block of interleaved
// samples to take(samples, count), which returns false to stop (QXW_STOPPED then: the data is not
// at fault). The first status other than QXW_OK, or QXW_OK at the end.
template <typename Read, typename Take>
qxw_status readAll(Read read, uint32_t channels, Take take) {
  std::vector<int16_t> block(kBlockFrames * channels);
  for (;;) {
    size_t frames = 0;
    const qxw_status status = read(block.data(), kBlockFrames, frames);
    if (status != QXW_OK || frames == 0) return status;
    if (!take(block.data(), frames * channels)) return QXW_STOPPED;
  }
}

template <typename Take>
qxw_status decodeAll(qxw_decoder* decoder, uint32_t channels, Take take) {
  return readAll(
      [decoder](int16_t* samples, size_t maxFrames, size_t& frames) {
        return qxw_decoder_read(decoder, samples, maxFrames, &frames);
      },
      channels, take);
}

}  // namespace qxw
