#include "decoder/sample_decoder.h"

#include <algorithm>

namespace qxw {

namespace {
// Frames between checks that the bits have not run out: past the end the reader yields zero
// bits, so a stream that ran out stops within this many frames.
constexpr size_t kCheckFrames = 16384;
}  // namespace

SampleDecoder::SampleDecoder(const QxwHeader& header, const uint8_t* data)
    : header_(header),
      contexts_(std::make_unique<ContextDecoder[]>(kContextCount)),
      reader_(data, header.dataSize),
      channels_(header.channelCount) {
  uint8_t offsetBits[kSymbolCount] = {};
  for (int s = 1; s < kSymbolCount; ++s) {
    const int bin = binOfSymbol(s);
    symbols_[s] = {header_.binBase[bin], 0, static_cast<uint8_t>(header_.binShift[bin]),
                   symbolTurns(s), &contexts_[bin]};
    offsetBits[s] = static_cast<uint8_t>(header_.binBits[bin]);
  }
  symbols_[0] = {0, ~0u, 0, false, &contexts_[0]};
  for (int c = 1; c < kContextCount; ++c) contexts_[c].build(header_.codeLength[c], offsetBits);
  // In context 0 the run count follows the zero symbol as its field.
  offsetBits[0] = static_cast<uint8_t>(header_.binBits[0]);
  contexts_[0].build(header_.codeLength[0], offsetBits);
  for (Channel& ch : channels_) ch.context = &contexts_[0];
}

// The channel states and the bit register are copied in for the block, where the samples'
// stores cannot alias them, and copied back at the end.
bool SampleDecoder::decodeBlock(int16_t* out, size_t frames, uint32_t channels) {
  Channel local[kMaxChannels];
  std::copy_n(channels_.begin(), channels, local);
  BitRegister r = reader_.take();
  for (size_t i = 0; i < frames; ++i) {
    if (r.next > reader_.limit()) [[unlikely]]
      r.next = reader_.restage(r.next);
    for (uint32_t c = 0; c < channels; ++c) {
      Channel& ch = local[c];
      if (ch.pendingRun > 0) {
        --ch.pendingRun;
        *out++ = static_cast<int16_t>(ch.reconstructed);
        continue;
      }
      uint32_t field = 0;
      const int symbol = ch.context->decode(r, field);
      const SymbolInfo& info = symbols_[symbol];
      // A zero symbol's field is its run count, empty outside context 0.
      ch.pendingRun = field & info.runMask;
      const uint32_t magnitude = info.base + ((field & ~info.runMask) << info.shift);
      const bool negative = (magnitude != 0) & (ch.lastNegative != info.turned);
      const uint32_t step = negative ? 0u - magnitude : magnitude;
      // Wraps, as a reader of any file must.
      ch.reconstructed = static_cast<int16_t>(static_cast<uint16_t>(ch.reconstructed + step));
      ch.context = info.next;
      ch.lastNegative = negative;
      *out++ = static_cast<int16_t>(ch.reconstructed);
    }
  }
  reader_.give(r);
  std::copy_n(local, channels, channels_.begin());
  frame_ += static_cast<uint32_t>(frames);
  // A run may not pass the last frame. One that does is still running at the block's end with
  // more frames to go than are left, so the block's end is the one place to look.
  const uint32_t framesLeft = header_.frameCount - frame_;
  return std::all_of(local, local + channels,
                     [framesLeft](const Channel& ch) { return ch.pendingRun <= framesLeft; });
}

Status SampleDecoder::read(int16_t* out, size_t maxFrames, size_t& framesRead) {
  framesRead = 0;
  if (status_ != Status::Ok) return status_;
  const uint32_t channels = header_.channelCount;
  const size_t frames = maxFrames < framesLeft() ? maxFrames : framesLeft();
  for (size_t done = 0; done < frames;) {
    const size_t block = frames - done < kCheckFrames ? frames - done : kCheckFrames;
    if (!decodeBlock(out, block, channels) || reader_.exhausted()) return status_ = Status::Corrupt;
    out += block * channels;
    done += block;
  }
  framesRead = frames;
  // The read that reaches the end checks, once, that nothing but padding follows.
  if (framesLeft() == 0 && !endChecked_) {
    endChecked_ = true;
    if (!paddingIsClean()) status_ = Status::Corrupt;
  }
  return status_;
}

// The writer pads the last word with zero bits and writes nothing after it.
bool SampleDecoder::paddingIsClean() {
  const uint64_t left = reader_.totalBits() - reader_.consumedBits();
  if (reader_.exhausted() || left >= 32) return false;
  return reader_.read(static_cast<int>(left)) == 0;
}

}  // namespace qxw
