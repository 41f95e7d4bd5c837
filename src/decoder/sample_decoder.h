#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/bit_reader.h"
#include "decoder/context_decoder.h"
#include "format/qxw_header.h"

namespace qxw {

// Decodes the encoded data that follows an accepted header, frames in order, in blocks of any
// size. Corrupt when the bits run out, a run passes the last frame, or anything but zero padding
// follows the last field; an error is final.
class SampleDecoder {
 public:
  // data: the header's dataSize bytes that follow it; they must stay valid while decoding.
  SampleDecoder(const QxwHeader& header, const uint8_t* data);
  // Fed: the data comes through supply(), in pieces of any size.
  explicit SampleDecoder(const QxwHeader& header);

  // Takes up to n more bytes of the data, as far as there is room; how many. Room is made by
  // reading the frames the bytes so far complete.
  size_t supply(const uint8_t* bytes, size_t n) { return reader_.supply(bytes, n); }
  bool complete() const { return reader_.complete(); }

  // Writes up to maxFrames frames of interleaved samples to out; framesRead is 0 at the end, and
  // for a fed decoder also when the frames need bytes still to come. A fault in the padding after
  // the last frame is reported by the read after the one that gives that frame.
  Status read(int16_t* out, size_t maxFrames, size_t& framesRead);
  uint32_t framesLeft() const { return header_.frameCount - frame_; }

 private:
  struct Channel {
    int32_t reconstructed = 0;  // always within the 16-bit range
    const ContextDecoder* context = nullptr;
    bool lastNegative = false;
    uint32_t pendingRun = 0;
  };
  // What a symbol stands for, in one load: the magnitude's base and shift, the context it leads
  // to, and whether the direction turns; the field that follows it is a run count where runMask
  // keeps it (the zero symbol), else an offset.
  struct SymbolInfo {
    uint32_t base;
    uint32_t runMask;
    uint8_t shift;
    bool turned;
    const ContextDecoder* next;
  };

  void buildContexts();
  size_t decodeBlock(int16_t* out, size_t frames, uint32_t channels);
  bool runsFit() const;
  bool paddingIsClean();

  QxwHeader header_;
  std::unique_ptr<ContextDecoder[]> contexts_;
  std::array<SymbolInfo, kSymbolCount> symbols_{};
  BitReader reader_;
  std::vector<Channel> channels_;
  uint32_t frame_ = 0;
  Status status_ = Status::Ok;  // an error is final: every later read returns it
  bool endChecked_ = false;
};

}  // namespace qxw
