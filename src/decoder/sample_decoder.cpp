#include "decoder/sample_decoder.h"

#include <memory>
#include <vector>

#include "decoder/symbol_decoder.h"

namespace qxw {

namespace {

constexpr size_t kBlockFrames = 16384;

struct ReaderChannel {
  int32_t reconstructed = 0;  // always within the 16-bit range
  int context = 0;
  bool lastNegative = false;
  uint32_t pendingRun = 0;
};

class Decoder {
 public:
  Decoder(const QxwHeader& header, const uint8_t* data)
      : h_(header), reader_(data, header.dataSize), channels_(header.channelCount) {
    contexts_ = std::make_unique<ContextDecoder[]>(kContextCount);
    for (int c = 0; c < kContextCount; ++c) contexts_[c].build(h_.codeLength[c]);
  }

  DecodeStatus run(const SampleSink& sink) {
    const uint32_t channels = h_.channelCount;
    // Samples collect as 16-bit values, whose stores cannot alias the decoder's state, and turn
    // into little-endian bytes once per block.
    std::vector<uint16_t> block(kBlockFrames * channels);
    std::vector<uint8_t> bytes(block.size() * 2);
    size_t used = 0;
    auto deliver = [&] {
      for (size_t i = 0; i < used; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(block[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(block[i] >> 8);
      }
      sink(bytes.data(), 2 * used);
      used = 0;
    };
    for (uint32_t frame = 0; frame < h_.frameCount; ++frame) {
      for (uint32_t c = 0; c < channels; ++c) {
        if (!decodeOne(channels_[c], h_.frameCount - 1 - frame)) return DecodeStatus::Corrupt;
        block[used++] = static_cast<uint16_t>(channels_[c].reconstructed);
      }
      if (used == block.size()) {
        // Past the end the reader yields zero bits; a stream that ran out stops here at the latest.
        if (reader_.exhausted()) return DecodeStatus::Corrupt;
        deliver();
      }
    }
    if (reader_.exhausted()) return DecodeStatus::Corrupt;
    if (used > 0) deliver();
    return paddingIsClean() ? DecodeStatus::Complete : DecodeStatus::Corrupt;
  }

 private:
  // One sample of a channel; framesLeft counts the frames after this one.
  bool decodeOne(ReaderChannel& ch, uint32_t framesLeft) {
    if (ch.pendingRun > 0) {
      --ch.pendingRun;
      return true;
    }
    const int symbol = contexts_[ch.context].decode(reader_);
    if (symbol == 0) {
      if (ch.context == 0) {
        ch.pendingRun = reader_.read(h_.binBits[0]);
        if (ch.pendingRun > framesLeft) return false;
      }
      ch.context = 0;
      ch.lastNegative = false;
      return true;
    }
    const bool turned = symbol > 31;
    const int bin = turned ? symbol - 31 : symbol;
    const uint32_t offset = reader_.read(h_.binBits[bin]);
    const uint32_t magnitude = h_.binBase[bin] + (offset << h_.binShift[bin]);
    const bool negative = magnitude != 0 && (ch.lastNegative != turned);
    const uint32_t step = negative ? 0u - magnitude : magnitude;
    ch.reconstructed = static_cast<int16_t>(static_cast<uint16_t>(ch.reconstructed + step));  // wraps
    ch.context = bin;
    ch.lastNegative = negative;
    return true;
  }

  // The writer pads the last word with zero bits and writes nothing after it.
  bool paddingIsClean() {
    const uint64_t left = reader_.totalBits() - reader_.consumedBits();
    if (reader_.exhausted() || left >= 32) return false;
    return reader_.read(static_cast<int>(left)) == 0;
  }

  const QxwHeader& h_;
  BitReader reader_;
  std::vector<ReaderChannel> channels_;
  std::unique_ptr<ContextDecoder[]> contexts_;
};

}  // namespace

DecodeStatus decodeSamples(const QxwHeader& header, const uint8_t* data, const SampleSink& sink) {
  Decoder decoder(header, data);
  return decoder.run(sink);
}

}  // namespace qxw
