#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/bit_reader.h"
#include "decoder/context_decoder.h"
#include "format/large_buffer.h"
#include "format/qxw_header.h"
#include "format/vector_support.h"

namespace qxw {

// One channel of a decode between two of its samples.
struct DecodedChannel {
  uint16_t reconstructed = 0;         // the sample's bits, as stored
  const uint16_t* context = nullptr;  // the context's table in the decoder
  bool lastNegative = false;
  uint32_t pendingRun = 0;
};

// What a symbol stands for, by its kind: the magnitude's base and shift, and whether the
// direction turns; the field that follows it is a run count, which runMask keeps (the zero symbol
// of context 0), or an offset, which offsetMask keeps, from the bits below it.
struct SymbolInfo {
  uint32_t base;
  uint32_t runMask;
  uint32_t offsetMask;
  uint8_t shift;
  bool turned;
};
// What a decoding loop looks up: the codes of every context, and what each kind of symbol
// stands for, together, so that one address reaches both.
struct DecodeTables {
  ContextDecoder codes;
  std::array<SymbolInfo, ContextDecoder::kKindCount> symbols;  // by kind
  bool stepsMayWrap = true;  // some step's size can be a multiple of 65536 other than 0

  // Sixteen bytes an entry, so that its place in bytes is the shifted kind's bits moved down.
  const SymbolInfo& meaningOf(uint32_t shiftedKind) const {
    static_assert(sizeof(SymbolInfo) == 16 && ContextDecoder::kKindCount == 64);
    const size_t at = (shiftedKind >> (ContextDecoder::kKindShift - 4)) & (63u << 4);
    return *reinterpret_cast<const SymbolInfo*>(reinterpret_cast<const uint8_t*>(symbols.data()) +
                                                at);
  }
};

// Where a decoding loop stands in the stream: the bit register, and the first bits of the next
// code, known before the register's refill lands.
struct CodeCursor {
  explicit CodeCursor(const BitRegister& from) : r(from), top(ContextDecoder::topOf(from.bits)) {}
  BitRegister r;
  uint64_t top;
};

// The next sample of a channel: one of its pending run, or its symbol and field read from the
// cursor's register, which must hold at least 56 bits. magnitude: the step's size, 0 for a run's
// sample.
[[gnu::always_inline]] inline int16_t decodeSample(DecodedChannel& ch, CodeCursor& at,
                                                   const DecodeTables& tables,
                                                   uint32_t& magnitude) {
  if (ch.pendingRun > 0) {
    --ch.pendingRun;
    magnitude = 0;
    return static_cast<int16_t>(ch.reconstructed);
  }
  uint32_t field = 0;
  const uint32_t kind = tables.codes.decode(at.r, at.top, ch.context, field);
  const SymbolInfo& info = tables.meaningOf(kind);
  ch.pendingRun = field & info.runMask;
  magnitude = info.base + ((field & info.offsetMask) << info.shift);
  const bool negative = (magnitude != 0) & (ch.lastNegative != info.turned);
  const uint32_t step = negative ? 0u - magnitude : magnitude;
  // Wraps, as a reader of any file must.
  ch.reconstructed = static_cast<uint16_t>(ch.reconstructed + step);
  ch.context = tables.codes.tableAfter(kind);
  ch.lastNegative = negative;
  return static_cast<int16_t>(ch.reconstructed);
}

// The same for one sample from a reader.
inline int16_t decodeSample(DecodedChannel& ch, BitReader& reader, const DecodeTables& tables,
                            uint32_t& magnitude) {
  CodeCursor at(reader.take());
  const int16_t sample = decodeSample(ch, at, tables, magnitude);
  reader.give(at.r);
  return sample;
}

// Decodes up to `frames` frames into out from the states of `count` channels (kCount of them,
// or any number when kCount is 0), moving them on; note(channel state, magnitude, frame, channel)
// sees each sample. The frames decoded: fewer only when a fed reader's bytes run short. The states
// and the cursor are copied in, where the samples' stores cannot alias them, and copied back at
// the end.
template <uint32_t kCount, typename Note>
[[gnu::always_inline]] inline size_t decodeFramesOf(BitReader& reader, DecodedChannel* channels,
                                                    uint32_t count, const DecodeTables& tables,
                                                    int16_t* out, size_t frames, Note& note) {
  if constexpr (kCount != 0) count = kCount;
  std::array<DecodedChannel, kCount != 0 ? kCount : kMaxChannels> local;
  // Copied a state at a time, not as one block of bytes, so that each can live in registers.
  for (uint32_t c = 0; c < count; ++c) local[c] = channels[c];
  CodeCursor at(reader.take());
  size_t i = 0;
  for (; i < frames; ++i) {
    if (at.r.next > reader.limit()) [[unlikely]] {
      // Through a copy: a register whose address is taken would live in memory.
      const uint8_t* next = at.r.next;
      const bool staged = reader.restage(next);
      at.r.next = next;
      if (!staged) break;
    }
#pragma GCC unroll 2
    for (uint32_t c = 0; c < count; ++c) {
      uint32_t magnitude;
      *out++ = decodeSample(local[c], at, tables, magnitude);
      note(local[c], magnitude, i, c);
    }
  }
  reader.give(at.r);
  for (uint32_t c = 0; c < count; ++c) channels[c] = local[c];
  return i;
}

// The same for any count; a count known when compiled keeps mono's and stereo's states in
// registers.
template <typename Note>
[[gnu::always_inline]] inline size_t decodeFrames(BitReader& reader, DecodedChannel* channels,
                                                  uint32_t count, const DecodeTables& tables,
                                                  int16_t* out, size_t frames, Note& note) {
  switch (count) {
    case 1:
      return decodeFramesOf<1>(reader, channels, count, tables, out, frames, note);
    case 2:
      return decodeFramesOf<2>(reader, channels, count, tables, out, frames, note);
    default:
      return decodeFramesOf<0>(reader, channels, count, tables, out, frames, note);
  }
}

#ifdef QXW_VECTORS
template <typename Note>
[[gnu::target("bmi2")]] size_t decodeFramesWithRegisterShifts(
    BitReader& reader, DecodedChannel* channels, uint32_t count, const DecodeTables& tables,
    int16_t* out, size_t frames, Note& note) {
  return decodeFrames(reader, channels, count, tables, out, frames, note);
}
#endif

// The same, with the machine's best shifts: a code's bits are found by shifts of any width, one
// after another.
template <typename Note>
size_t decodeFramesFast(BitReader& reader, DecodedChannel* channels, uint32_t count,
                        const DecodeTables& tables, int16_t* out, size_t frames, Note& note) {
#ifdef QXW_VECTORS
  if (registerShiftsAvailable()) {
    return decodeFramesWithRegisterShifts(reader, channels, count, tables, out, frames, note);
  }
#endif
  return decodeFrames(reader, channels, count, tables, out, frames, note);
}

class GuessedPart;

// How a decoder of a whole file in memory may share its work: with two threads, a second one
// decodes a part of the stream ahead from a guessed state, in rounds of about roundFrames frames
// each; the samples are exactly those of one thread.
struct SplitOptions {
  unsigned threads = 1;
  size_t roundFrames = size_t{1} << 19;
};

// Decodes the encoded data that follows an accepted header, frames in order, in blocks of any
// size. Corrupt when the bits run out, a run passes the last frame, or anything but zero padding
// follows the last field; an error is final.
class SampleDecoder {
 public:
  // data: the header's dataSize bytes that follow it; they must stay valid while decoding.
  SampleDecoder(const QxwHeader& header, const uint8_t* data, SplitOptions split = {});
  // Fed: the data comes through supply(), in pieces of any size.
  explicit SampleDecoder(const QxwHeader& header);
  ~SampleDecoder();
  SampleDecoder(const SampleDecoder&) = delete;
  SampleDecoder& operator=(const SampleDecoder&) = delete;

  // Takes up to n more bytes of the data, as far as there is room; how many. Room is made by
  // reading the frames the bytes so far complete.
  size_t supply(const uint8_t* bytes, size_t n) { return reader_.supply(bytes, n); }
  bool complete() const { return reader_.complete(); }

  // Writes up to maxFrames frames of interleaved samples to out; framesRead is 0 at the end, and
  // for a fed decoder also when the frames need bytes still to come. A fault in the padding after
  // the last frame is reported by the read after the one that gives that frame.
  Status read(int16_t* out, size_t maxFrames, size_t& framesRead);
  uint32_t framesLeft() const { return header_.frameCount - frame_; }

  // Rounds whose second part was taken, and rounds given up (the first thread decoded on alone).
  size_t roundsTaken() const { return roundsTaken_; }
  size_t roundsGivenUp() const { return roundsGivenUp_; }

 private:
  // Where a round is: none running; the first thread decoding towards the second's start; looking
  // for the state the second reached, a sample at a time; handing out the second's samples.
  enum class Phase { Alone, Ahead, Syncing, Serving };

  void buildContexts();
  size_t decodeBlock(int16_t* out, size_t frames, uint32_t channels);
  bool runsFit() const;
  bool paddingIsClean();

  // The two-thread rounds; each returns the frames it wrote, 0 when the plain loop decodes next.
  size_t splitFrames(int16_t* out, size_t frames);
  size_t plainFrames(size_t wanted) const;
  bool startRound(uint64_t bit, uint32_t frame);
  size_t syncFrame(int16_t* out);
  bool takeSecondPart(uint32_t channel, size_t checkpoint);
  size_t serveFrames(int16_t* out, size_t frames);
  size_t adoptEnd(int16_t* out);
  void keepPart(uint32_t channel, size_t checkpoint);
  void copyPart(size_t n, int16_t* out);
  void endRound(bool taken);
  int16_t decodeOne(uint32_t channel);

  QxwHeader header_;
  const uint8_t* data_ = nullptr;  // null when fed
  std::unique_ptr<DecodeTables> tables_;
  BitReader reader_;
  std::vector<DecodedChannel> channels_;
  uint32_t frame_ = 0;
  Status status_ = Status::Ok;  // an error is final: every later read returns it
  bool endChecked_ = false;

  SplitOptions split_;
  std::unique_ptr<GuessedPart> second_;
  Phase phase_ = Phase::Alone;
  uint64_t secondStart_ = 0;  // the bit where the second part starts
  uint64_t splitStop_ = 0;    // no part goes on past this bit: the end is the first's alone
  bool nextAhead_ = false;    // while serving: the next round's part is already decoding
  // The part taken, put right, kept apart from the second thread while it is handed out: its
  // samples, its end and the state there, by the part's channels.
  LargeBuffer<int16_t> part_;  // as the second part's own, not zeroed
  size_t partEnd_ = 0;
  uint64_t partEndBit_ = 0;
  std::array<DecodedChannel, kMaxChannels> partChannels_{};
  std::array<uint16_t, kMaxChannels> partMoves_{};  // by the part's channel
  uint32_t syncShift_ = 0;                          // the part's channel 0 is this channel of ours
  size_t served_ = 0;                               // the part's next sample to hand out
  std::array<bool, kMaxChannels> mirroredAtEnd_{};  // by the part's channel, at its end
  size_t roundsTaken_ = 0;
  size_t roundsGivenUp_ = 0;
};

}  // namespace qxw
