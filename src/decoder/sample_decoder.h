#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "format/qxw_header.h"

namespace qxw {

// Receives decoded samples as interleaved 16-bit little-endian bytes, in blocks of whole frames.
using SampleSink = std::function<void(const uint8_t* bytes, size_t size)>;

enum class DecodeStatus { Complete, Corrupt };

// Decodes the encoded data that follows an accepted header. Corrupt when the bits run out, a run
// passes the last frame, or anything but zero padding follows the last field.
DecodeStatus decodeSamples(const QxwHeader& header, const uint8_t* data, const SampleSink& sink);

}  // namespace qxw
