#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "decoder/sample_decoder.h"
#include "format/crew.h"
#include "format/large_buffer.h"

namespace qxw {

// A part of the stream decoded on a thread of its own from a bit in its middle, where the state
// is unknown: from a guess (every channel in context 0, no run, no sign, the first symbol taken
// as channel 0's), which a decode forgets within a few thousand bits. Its samples mean nothing
// until the decoder before it confirms the guess: by reaching, at the same bit, the state of one
// of the part's checkpoints (its states at its first frames), its channels turned as it found
// them. From there the part's symbols are the true ones; each channel's samples are then the
// true ones mirrored until its first zero step (the sign was guessed) and moved by a constant.
class GuessedPart {
 public:
  // Frames whose states are kept as checkpoints, and the run count that makes the guess start
  // again at the next symbol within them: a false guess reads false runs, and a long one would
  // hide the true stream for long.
  static constexpr size_t kCheckpointFrames = 8192;
  static constexpr uint32_t kLongRun = 1024;

  // data: the encoded data, size bytes; the context and symbol tables are those of the decoder
  // that confirms the part; maxFrames: the most frames a part holds.
  GuessedPart(const uint8_t* data, size_t size, uint32_t channels, const DecodeTables& tables,
              size_t maxFrames);
  ~GuessedPart();
  GuessedPart(const GuessedPart&) = delete;
  GuessedPart& operator=(const GuessedPart&) = delete;

  // Decodes, on a thread of its own, up to `frames` frames from bit `bit`, never starting a frame
  // that could pass stopBit. False when no thread could be started. The thread stays for the
  // next part, and waits for it awake a little while, as a CPU that goes to sleep between two
  // parts can take milliseconds to wake.
  bool start(uint64_t bit, uint64_t stopBit, size_t frames);
  // Asks the thread to stop, at once or within a few thousand frames, and waits for it.
  void stop();

  // Waits until every checkpoint is recorded; then the ones at bit are [first, second).
  void waitForCheckpoints();
  std::pair<size_t, size_t> checkpointsAt(uint64_t bit) const;
  uint64_t lastCheckpointBit() const;
  const DecodedChannel* checkpoint(size_t k) const { return &checkStates_[k * channelCount_]; }

  // After stop(): the frames decoded since the guess last started, their samples, and the state
  // and bit after them.
  size_t frames() const { return frames_; }
  // Trades the samples for a buffer of as many, so that the next part can go on while they are
  // handed out.
  void swapSamples(LargeBuffer<int16_t>& other) { samples_.swap(other); }
  const DecodedChannel* endChannels() const { return channels_.data(); }
  uint64_t endBit() const { return endBit_; }
  // One past the last sample whose step's size was a nonzero multiple of 65536 (it wraps to no
  // step but keeps the sign), or 0 when none did.
  size_t wrappedEnd() const { return wrappedEnd_; }
  // One past the last sample the runs still going at the end reach, or the end.
  size_t runsEnd() const;

 private:
  void serve();
  void run();
  void guess();
  bool decodeWatched(BitReader& reader, size_t frame);
  void decodeBlock(BitReader& reader, size_t frame, size_t count);
  void keepCheckpoint(size_t frame, uint64_t bit);
  void checkpointsDone();
  // A step that wraps to nothing, which the decoder confirming the part must know of. Bitwise,
  // so that it costs one well-predicted branch: a zero step is common in quiet music.
  static bool wraps(uint32_t magnitude) { return ((magnitude & 0xFFFFu) == 0) & (magnitude != 0); }

  const uint8_t* data_;
  size_t size_;
  uint32_t channelCount_;
  const DecodeTables& tables_;
  size_t maxFrames_;

  uint64_t startBit_ = 0;
  uint64_t stopBit_ = 0;
  size_t wanted_ = 0;
  std::thread thread_;
  WakeCount asked_;  // twice the parts asked for; odd once the thread is to end
  WakeCount done_;   // parts decoded
  std::atomic<bool> stopAsked_{false};
  WakeCount checkpointsReady_;  // 1 once every checkpoint of the part is recorded

  std::vector<DecodedChannel> channels_;
  // Not zeroed: a page is first touched by the thread that decodes into it, not by the one that
  // starts the part.
  LargeBuffer<int16_t> samples_;
  // A block's samples, decoded here and then copied into samples_ whole: the other thread reads
  // and puts right samples_, and stores of one sample at a time to lines it holds wait on it.
  std::vector<int16_t> block_;
  std::vector<uint64_t> checkBits_;
  std::vector<DecodedChannel> checkStates_;
  size_t checkCount_ = 0;
  size_t frames_ = 0;
  uint64_t endBit_ = 0;
  size_t wrappedEnd_ = 0;
};

}  // namespace qxw
