#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "decoder/bit_reader.h"
#include "decoder/symbol_decoder.h"
#include "format/qxw_header.h"

namespace qxw {

enum class DecodeStatus { Complete, Corrupt };

// Decodes the encoded data that follows an accepted header, frames in order, in blocks of any
// size. Corrupt when the bits run out, a run passes the last frame, or anything but zero padding
// follows the last field; an error is final.
class SampleDecoder {
 public:
  // data: the header's dataSize bytes that follow it; they must stay valid while decoding.
  SampleDecoder(const QxwHeader& header, const uint8_t* data);

  // Writes up to maxFrames frames of interleaved samples to out; framesRead is 0 at the end.
  DecodeStatus read(int16_t* out, size_t maxFrames, size_t& framesRead);
  uint32_t framesLeft() const { return header_.frameCount - frame_; }

 private:
  struct Channel {
    int32_t reconstructed = 0;  // always within the 16-bit range
    int context = 0;
    bool lastNegative = false;
    uint32_t pendingRun = 0;
  };

  template <bool kWhole>
  [[gnu::always_inline]] inline bool decodeOne(Channel& ch, uint32_t framesAfter);
  template <bool kWhole>
  bool decodeBlock(int16_t* out, size_t frames, uint32_t channels);
  bool paddingIsClean();

  // What a symbol stands for, in one load.
  struct SymbolInfo {
    uint32_t base;
    uint8_t offsetBits;
    uint8_t shift;
    uint8_t bin;
    bool turned;
  };

  QxwHeader header_;
  std::array<SymbolInfo, kSymbolCount> symbols_{};
  std::array<uint8_t, kSymbolCount> offsetBits_{};  // 0 for the zero symbol
  BitReader reader_;
  std::vector<Channel> channels_;
  std::unique_ptr<ContextDecoder[]> contexts_;
  uint32_t frame_ = 0;
  bool failed_ = false;
  bool endChecked_ = false;
  bool wholeFieldsFit_ = false;  // use decodeWithOffset
};

// Receives decoded samples as interleaved 16-bit little-endian bytes, in blocks of whole frames.
using SampleSink = std::function<void(const uint8_t* bytes, size_t size)>;

// Decodes a whole stream into the sink.
DecodeStatus decodeSamples(const QxwHeader& header, const uint8_t* data, const SampleSink& sink);

}  // namespace qxw
