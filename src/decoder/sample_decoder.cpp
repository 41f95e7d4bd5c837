#include "decoder/sample_decoder.h"

#include <cmath>

namespace qxw {

namespace {
// Frames between checks that the bits have not run out: past the end the reader yields zero
// bits, so a stream that ran out stops within this many frames.
constexpr size_t kCheckFrames = 16384;
}  // namespace

SampleDecoder::SampleDecoder(const QxwHeader& header, const uint8_t* data)
    : header_(header), reader_(data, header.dataSize), channels_(header.channelCount) {
  for (int s = 1; s < kSymbolCount; ++s) {
    const int bin = binOfSymbol(s);
    symbols_[s] = {header_.binBase[bin], static_cast<uint8_t>(header_.binBits[bin]),
                   static_cast<uint8_t>(header_.binShift[bin]), static_cast<uint8_t>(bin),
                   symbolTurns(s)};
    offsetBits_[s] = static_cast<uint8_t>(header_.binBits[bin]);
  }
  contexts_ = std::make_unique<ContextDecoder[]>(kContextCount);
  for (int c = 0; c < kContextCount; ++c) contexts_[c].build(header_.codeLength[c], offsetBits_.data());
  // Taking a symbol and its offset in one look pays when nearly every symbol allows it; where
  // many do not, the extra choice costs more than it saves. The code lengths tell how often.
  double fitting = 0;
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolCount; ++s) {
      if (header_.codeLength[c][s] + offsetBits_[s] <= ContextDecoder::kTableBits) {
        fitting += std::ldexp(1.0, -header_.codeLength[c][s]);
      }
    }
  }
  wholeFieldsFit_ = fitting >= 0.9 * kContextCount;
}

// One sample of a channel; framesAfter counts the frames after this one.
template <bool kWhole>
inline bool SampleDecoder::decodeOne(Channel& ch, uint32_t framesAfter) {
  if (ch.pendingRun > 0) {
    --ch.pendingRun;
    return true;
  }
  uint32_t offset = 0;
  int symbol;
  if constexpr (kWhole) {
    symbol = contexts_[ch.context].decodeWithOffset(reader_, offsetBits_.data(), offset);
  } else {
    symbol = contexts_[ch.context].decode(reader_);
    offset = reader_.read(offsetBits_[symbol]);
  }
  if (symbol == 0) {
    if (ch.context == 0) {
      ch.pendingRun = reader_.read(header_.binBits[0]);
      if (ch.pendingRun > framesAfter) return false;
    }
    ch.context = 0;
    ch.lastNegative = false;
    return true;
  }
  const SymbolInfo info = symbols_[symbol];
  const uint32_t magnitude = info.base + (offset << info.shift);
  const bool negative = magnitude != 0 && (ch.lastNegative != info.turned);
  const uint32_t step = negative ? 0u - magnitude : magnitude;
  ch.reconstructed = static_cast<int16_t>(static_cast<uint16_t>(ch.reconstructed + step));  // wraps
  ch.context = info.bin;
  ch.lastNegative = negative;
  return true;
}

template <bool kWhole>
bool SampleDecoder::decodeBlock(int16_t* out, size_t frames, uint32_t channels) {
  for (size_t i = 0; i < frames; ++i, ++frame_) {
    for (uint32_t c = 0; c < channels; ++c) {
      if (!decodeOne<kWhole>(channels_[c], header_.frameCount - 1 - frame_)) return false;
      *out++ = static_cast<int16_t>(channels_[c].reconstructed);
    }
  }
  return true;
}

DecodeStatus SampleDecoder::read(int16_t* out, size_t maxFrames, size_t& framesRead) {
  framesRead = 0;
  if (failed_) return DecodeStatus::Corrupt;
  const uint32_t channels = header_.channelCount;
  const size_t frames = maxFrames < framesLeft() ? maxFrames : framesLeft();
  for (size_t done = 0; done < frames;) {
    const size_t block = frames - done < kCheckFrames ? frames - done : kCheckFrames;
    const bool decoded = wholeFieldsFit_ ? decodeBlock<true>(out, block, channels)
                                         : decodeBlock<false>(out, block, channels);
    if (!decoded) {
      failed_ = true;
      return DecodeStatus::Corrupt;
    }
    out += block * channels;
    done += block;
    if (reader_.exhausted()) failed_ = true;
    if (failed_) return DecodeStatus::Corrupt;
  }
  framesRead = frames;
  // The read that reaches the end checks, once, that nothing but padding follows.
  if (framesLeft() == 0 && !endChecked_) {
    endChecked_ = true;
    if (!paddingIsClean()) failed_ = true;
  }
  return failed_ ? DecodeStatus::Corrupt : DecodeStatus::Complete;
}

// The writer pads the last word with zero bits and writes nothing after it.
bool SampleDecoder::paddingIsClean() {
  const uint64_t left = reader_.totalBits() - reader_.consumedBits();
  if (reader_.exhausted() || left >= 32) return false;
  return reader_.read(static_cast<int>(left)) == 0;
}

DecodeStatus decodeSamples(const QxwHeader& header, const uint8_t* data, const SampleSink& sink) {
  SampleDecoder decoder(header, data);
  std::vector<int16_t> block(kCheckFrames * header.channelCount);
  std::vector<uint8_t> bytes(block.size() * 2);
  for (;;) {
    size_t frames = 0;
    if (decoder.read(block.data(), kCheckFrames, frames) != DecodeStatus::Complete) {
      return DecodeStatus::Corrupt;
    }
    if (frames == 0) return DecodeStatus::Complete;
    const size_t count = frames * header.channelCount;
    for (size_t i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(block[i]);
      bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(block[i]) >> 8);
    }
    sink(bytes.data(), 2 * count);
  }
}

}  // namespace qxw
