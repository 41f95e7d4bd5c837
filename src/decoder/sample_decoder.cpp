#include "decoder/sample_decoder.h"

#include <algorithm>

#include "decoder/guessed_part.h"

namespace qxw {

namespace {
// Frames between checks that the bits have not run out: past the end the reader yields zero
// bits, so a stream that ran out stops within this many frames.
constexpr size_t kCheckFrames = 16384;
// The most a frame's symbols and fields can take of the stream: 64 bits a channel.
constexpr size_t frameBytes(uint32_t channels) { return size_t{8} * channels; }
}  // namespace

SampleDecoder::SampleDecoder(const QxwHeader& header, const uint8_t* data, SplitOptions split)
    : header_(header),
      data_(data),
      tables_(std::make_unique<DecodeTables>()),
      reader_(data, header.dataSize),
      channels_(header.channelCount),
      split_(split) {
  buildContexts();
}

SampleDecoder::SampleDecoder(const QxwHeader& header)
    : header_(header),
      tables_(std::make_unique<DecodeTables>()),
      reader_(header.dataSize, frameBytes(header.channelCount)),
      channels_(header.channelCount) {
  buildContexts();
}

SampleDecoder::~SampleDecoder() = default;

void SampleDecoder::buildContexts() {
  const auto maskOf = [](int bits) { return static_cast<uint32_t>((uint64_t{1} << bits) - 1); };
  uint8_t offsetBits[kSymbolCount] = {};
  auto& symbols = tables_->symbols;
  uint64_t largest = 0;
  for (int bin = 1; bin < kBinCount; ++bin) {
    largest = std::max(largest, header_.binBase[bin] + (uint64_t{maskOf(header_.binBits[bin])}
                                                        << header_.binShift[bin]));
  }
  tables_->stepsMayWrap = largest >= 65536;
  for (int s = 1; s < kSymbolCount; ++s) {
    const int bin = binOfSymbol(s);
    symbols[ContextDecoder::kindOf(s, 0)] = {header_.binBase[bin], 0, maskOf(header_.binBits[bin]),
                                             static_cast<uint8_t>(header_.binShift[bin]),
                                             symbolTurns(s)};
    offsetBits[s] = static_cast<uint8_t>(header_.binBits[bin]);
  }
  // The zero step: in context 0 with its run count, elsewhere with no field.
  symbols[ContextDecoder::kindOf(0, 0)] = {0, maskOf(header_.binBits[0]), 0, 0, false};
  symbols[ContextDecoder::kindOf(0, 1)] = {0, 0, 0, 0, false};
  for (int c = 1; c < kContextCount; ++c)
    tables_->codes.build(c, header_.codeLength[c], offsetBits);
  offsetBits[0] = static_cast<uint8_t>(header_.binBits[0]);
  tables_->codes.build(0, header_.codeLength[0], offsetBits);
  for (DecodedChannel& ch : channels_) ch.context = tables_->codes.table(0);
}

size_t SampleDecoder::decodeBlock(int16_t* out, size_t frames, uint32_t channels) {
  if (!reader_.ready()) return 0;
  const auto none = [](const DecodedChannel&, uint32_t, size_t, uint32_t) {};
  const size_t decoded =
      decodeFramesFast(reader_, channels_.data(), channels, *tables_, out, frames, none);
  frame_ += static_cast<uint32_t>(decoded);
  return decoded;
}

// A run may not pass the last frame. One that does is still running at a block's end with more
// frames to go than are left, so the block's end is the one place to look.
bool SampleDecoder::runsFit() const {
  const uint32_t left = framesLeft();
  return std::all_of(channels_.begin(), channels_.end(),
                     [left](const DecodedChannel& ch) { return ch.pendingRun <= left; });
}

Status SampleDecoder::read(int16_t* out, size_t maxFrames, size_t& framesRead) {
  framesRead = 0;
  if (status_ != Status::Ok) return status_;
  const uint32_t channels = header_.channelCount;
  const size_t frames = maxFrames < framesLeft() ? maxFrames : framesLeft();
  size_t done = 0;
  while (done < frames) {
    const size_t split = splitFrames(out, frames - done);
    out += split * channels;
    done += split;
    if (split > 0) continue;
    const size_t block = std::min({frames - done, kCheckFrames, plainFrames(frames - done)});
    const size_t decoded = decodeBlock(out, block, channels);
    if (!runsFit() || reader_.exhausted()) return status_ = Status::Corrupt;
    out += decoded * channels;
    done += decoded;
    if (decoded < block) break;
  }
  // A run that passes the last frame goes on doing so: looking once after the frames a second
  // thread gave finds it in the same read as a look after every block.
  if (!runsFit()) return status_ = Status::Corrupt;
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
