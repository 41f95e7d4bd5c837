#pragma once

// The encoder's and the decoder's whole passes on one thread, as tests and benchmarks drive them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "decoder/sample_decoder.h"
#include "format/byte_order.h"
#include "format/qxw_header.h"
#include "support/encode_samples.h"

namespace qxw {

// Receives decoded samples as interleaved 16-bit little-endian bytes, in blocks of whole frames.
using SampleSink = std::function<void(const uint8_t* bytes, size_t size)>;

// Decodes a whole stream into the sink.
inline Status decodeSamples(const QxwHeader& header, const uint8_t* data, const SampleSink& sink) {
  constexpr size_t kBlockFrames = 16384;
  SampleDecoder decoder(header, data);
  std::vector<int16_t> block(kBlockFrames * header.channelCount);
  std::vector<uint8_t> bytes(block.size() * 2);
  for (;;) {
    size_t frames = 0;
    if (decoder.read(block.data(), kBlockFrames, frames) != Status::Ok) {
      return Status::Corrupt;
    }
    if (frames == 0) return Status::Ok;
    const size_t count = frames * header.channelCount;
    putSamples(block.data(), count, bytes.data());
    sink(bytes.data(), 2 * count);
  }
}

}  // namespace qxw
