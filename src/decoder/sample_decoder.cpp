#include "decoder/sample_decoder.h"

#include <algorithm>

namespace qxw {

namespace {
// Frames between checks that the bits have not run out: past the end the reader yields zero
// bits, so a stream that ran out stops within this many frames.
constexpr size_t kCheckFrames = 16384;
// The most a frame's symbols and fields can take of the stream: 64 bits a channel.
constexpr size_t frameBytes(uint32_t channels) { return size_t{8} * channels; }
}  // namespace

SampleDecoder::SampleDecoder(const QxwHeader& header, const uint8_t* data)
    : header_(header),
      contexts_(std::make_unique<ContextDecoder[]>(kContextCount)),
      reader_(data, header.dataSize),
      channels_(header.channelCount) {
  buildContexts();
}

SampleDecoder::SampleDecoder(const QxwHeader& header)
    : header_(header),
      contexts_(std::make_unique<ContextDecoder[]>(kContextCount)),
      reader_(header.dataSize, frameBytes(header.channelCount)),
      channels_(header.channelCount) {
  buildContexts();
}

void SampleDecoder::buildContexts() {
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
// stores cannot alias them, and copied back at the end. The frames decoded: fewer than asked
// only when a fed decoder's bytes run short.
size_t SampleDecoder::decodeBlock(int16_t* out, size_t frames, uint32_t channels) {
  if (!reader_.ready()) return 0;
  Channel local[kMaxChannels];
  std::copy_n(channels_.begin(), channels, local);
  BitRegister r = reader_.take();
  size_t i = 0;
  for (; i < frames; ++i) {
    if (r.next > reader_.limit()) [[unlikely]] {
      if (!reader_.restage(r.next)) break;
    }
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
  frame_ += static_cast<uint32_t>(i);
  return i;
}

// A run may not pass the last frame. One that does is still running at a block's end with more
// frames to go than are left, so the block's end is the one place to look.
bool SampleDecoder::runsFit() const {
  const uint32_t left = framesLeft();
  return std::all_of(channels_.begin(), channels_.end(),
                     [left](const Channel& ch) { return ch.pendingRun <= left; });
}

Status SampleDecoder::read(int16_t* out, size_t maxFrames, size_t& framesRead) {
  framesRead = 0;
  if (status_ != Status::Ok) return status_;
  const uint32_t channels = header_.channelCount;
  const size_t frames = maxFrames < framesLeft() ? maxFrames : framesLeft();
  size_t done = 0;
  while (done < frames) {
    const size_t block = frames - done < kCheckFrames ? frames - done : kCheckFrames;
    const size_t decoded = decodeBlock(out, block, channels);
    if (!runsFit() || reader_.exhausted()) return status_ = Status::Corrupt;
    out += decoded * channels;
    done += decoded;
    if (decoded < block) break;
  }
  framesRead = done;
  // The read that reaches the end checks, once, that nothing but padding follows.
  if (framesLeft() == 0 && reader_.complete() && !endChecked_) {
    endChecked_ = true;
    if (!paddingIsClean()) status_ = Status::Corrupt;
    // The frames are whole and go out; the next read reports the fault after them. When that read
    // comes must not depend on how a fed decoder's bytes were split, nor on the block size.
    if (done > 0) return Status::Ok;
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
