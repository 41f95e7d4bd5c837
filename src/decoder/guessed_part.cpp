#include "decoder/guessed_part.h"

#include <algorithm>
#include <system_error>

#include "format/crew.h"

namespace qxw {

namespace {
// Frames decoded between looks at the stop request and the bit reached.
constexpr size_t kBlockFrames = 4096;
}  // namespace

GuessedPart::GuessedPart(const uint8_t* data, size_t size, uint32_t channels,
                         const DecodeTables& tables, size_t maxFrames)
    : data_(data),
      size_(size),
      channelCount_(channels),
      tables_(tables),
      maxFrames_(maxFrames),
      channels_(channels),
      samples_(maxFrames * channels),
      block_(kBlockFrames * channels),
      checkBits_(kCheckpointFrames),
      checkStates_(kCheckpointFrames * channels) {}

GuessedPart::~GuessedPart() {
  if (!thread_.joinable()) return;
  stop();
  asked_.add(1);  // odd: the end
  thread_.join();
}

bool GuessedPart::start(uint64_t bit, uint64_t stopBit, size_t frames) {
  stop();
  startBit_ = bit;
  stopBit_ = stopBit;
  wanted_ = std::min(frames, maxFrames_);
  stopAsked_ = false;
  checkpointsReady_.set(0);
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  asked_.add(2);
  return true;
}

void GuessedPart::stop() {
  stopAsked_ = true;
  const uint64_t asked = asked_.value() / 2;
  done_.awaitUntil([asked](uint64_t done) { return done == asked; });
}

void GuessedPart::serve() {
  uint64_t seen = 0;
  for (;;) {
    seen = asked_.awaitUntil([seen](uint64_t now) { return now != seen; });
    if (seen % 2 != 0) return;
    run();
    done_.set(seen / 2);
  }
}

// A run that ends within the part keeps within its samples; only one still going at the end can
// reach past them.
size_t GuessedPart::runsEnd() const {
  size_t reach = frames_ * channelCount_;
  if (frames_ == 0) return reach;
  for (uint32_t c = 0; c < channelCount_; ++c) {
    const size_t last = frames_ - 1 + channels_[c].pendingRun;
    reach = std::max(reach, last * channelCount_ + c + 1);
  }
  return reach;
}

void GuessedPart::waitForCheckpoints() {
  checkpointsReady_.awaitUntil([](uint64_t ready) { return ready != 0; });
}

std::pair<size_t, size_t> GuessedPart::checkpointsAt(uint64_t bit) const {
  const auto* begin = checkBits_.data();
  const auto range = std::equal_range(begin, begin + checkCount_, bit);
  return {static_cast<size_t>(range.first - begin), static_cast<size_t>(range.second - begin)};
}

uint64_t GuessedPart::lastCheckpointBit() const {
  return checkCount_ == 0 ? 0 : checkBits_[checkCount_ - 1];
}

void GuessedPart::guess() {
  for (DecodedChannel& ch : channels_) ch = {0, tables_.codes.table(0), false, 0};
  checkCount_ = 0;
  wrappedEnd_ = 0;
}

// The first frames one at a time, each state kept; a long run read among them starts the guess
// again where it ends. The frames after them in blocks.
void GuessedPart::run() {
  BitReader reader(data_, size_);
  reader.seek(startBit_);
  guess();
  size_t frame = 0;
  for (;;) {
    const uint64_t bit = reader.consumedBits();
    if (frame >= wanted_ || bit >= stopBit_ || stopAsked_.load(std::memory_order_relaxed)) break;
    if (frame < kCheckpointFrames) {
      keepCheckpoint(frame, bit);
      if (!decodeWatched(reader, frame)) {
        guess();
        frame = 0;
        continue;
      }
      if (++frame == kCheckpointFrames) checkpointsDone();
      continue;
    }
    const uint64_t frameBits = uint64_t{64} * channelCount_;
    const size_t count = static_cast<size_t>(
        std::min<uint64_t>({kBlockFrames, wanted_ - frame, (stopBit_ - bit) / frameBits}));
    if (count == 0) break;
    decodeBlock(reader, frame, count);
    frame += count;
  }
  frames_ = frame;
  endBit_ = reader.consumedBits();
  checkpointsDone();
}

void GuessedPart::keepCheckpoint(size_t frame, uint64_t bit) {
  checkBits_[frame] = bit;
  std::copy(channels_.begin(), channels_.end(), checkStates_.begin() + frame * channelCount_);
  checkCount_ = frame + 1;
}

void GuessedPart::checkpointsDone() {
  if (checkpointsReady_.value() == 0) checkpointsReady_.set(1);
}

// One frame; false when it read a long run.
bool GuessedPart::decodeWatched(BitReader& reader, size_t frame) {
  CodeCursor at(reader.take());
  bool longRun = false;
  for (uint32_t c = 0; c < channelCount_; ++c) {
    DecodedChannel& ch = channels_[c];
    const bool fresh = ch.pendingRun == 0;
    uint32_t magnitude = 0;
    samples_[frame * channelCount_ + c] = decodeSample(ch, at, tables_, magnitude);
    if (wraps(magnitude)) [[unlikely]]
      wrappedEnd_ = frame * channelCount_ + c + 1;
    longRun = longRun || (fresh && ch.pendingRun > kLongRun);
  }
  reader.give(at.r);
  return !longRun;
}

// Where no step can wrap, the loop need not look for one.
void GuessedPart::decodeBlock(BitReader& reader, size_t frame, size_t count) {
  const uint32_t channels = channelCount_;
  if (tables_.stepsMayWrap) {
    size_t wrappedEnd = wrappedEnd_;  // in a local, which the samples' stores cannot alias
    const auto note = [&](const DecodedChannel&, uint32_t magnitude, size_t f, uint32_t c) {
      if (wraps(magnitude)) [[unlikely]]
        wrappedEnd = (frame + f) * channels + c + 1;
    };
    decodeFramesFast(reader, channels_.data(), channels, tables_, block_.data(), count, note);
    wrappedEnd_ = wrappedEnd;
  } else {
    const auto none = [](const DecodedChannel&, uint32_t, size_t, uint32_t) {};
    decodeFramesFast(reader, channels_.data(), channels, tables_, block_.data(), count, none);
  }
  std::copy_n(block_.data(), count * channels, samples_.get() + frame * channels);
}

}  // namespace qxw
