#include "encoder/piece_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace qxw {
namespace {

// A walk whose state forgets all but its last eight samples, except for a flag that a sample of
// kFlip turns over and keeps: a guess made after one misses, and its piece is walked again.
struct ToyWalk {
  using State = uint32_t;
  struct Result {
    uint64_t frames = 0;
    uint64_t sum = 0;
    Result& operator+=(const Result& other) {
      frames += other.frames;
      sum += other.sum;
      return *this;
    }
    bool operator==(const Result&) const = default;
  };
  static constexpr size_t kWarmUpFrames = 64;
  static constexpr uint16_t kFlip = 0x7FFF;

  uint32_t channels;
  uint64_t limit = UINT64_MAX;

  static void step(State& st, uint16_t sample) {
    const uint32_t flag = (st & 0x100) ^ (sample == kFlip ? 0x100 : 0);
    st = flag | (((st & 0xFF) >> 1) ^ (sample & 0xFF));
  }
  void run(State* states, const uint8_t* from, const uint8_t* to, BitWriter* writer,
           Result* result) const {
    for (const uint8_t* at = from; at < to; at += 2 * channels) {
      for (uint32_t c = 0; c < channels; ++c) {
        uint16_t sample;
        std::memcpy(&sample, at + 2 * c, 2);
        step(states[c], sample);
        if (writer != nullptr) writer->writeBits(9, states[c]);
        if (result != nullptr) result->sum += states[c];
      }
      if (result != nullptr) ++result->frames;
    }
  }
  Result write(State* states, const uint8_t* from, const uint8_t* to, BitWriter& writer,
               bool) const {
    Result result;
    run(states, from, to, &writer, &result);
    return result;
  }
  bool enough(const Result& sum) const { return sum.frames > limit; }
  std::vector<State> guess(const uint8_t*) const { return std::vector<State>(channels, 0); }
  void skip(State* states, const uint8_t* from, const uint8_t* to) const {
    run(states, from, to, nullptr, nullptr);
  }
  static bool same(const State& a, const State& b) { return a == b; }
};

struct Written {
  std::vector<uint8_t> bytes;
  ToyWalk::Result result;
  std::vector<uint32_t> states;
};

Written writeToy(const std::vector<uint16_t>& samples, uint32_t channels, unsigned threads,
                 uint64_t limit = UINT64_MAX) {
  OutputStream out;
  out.createInMemory();
  Written written;
  written.states.assign(channels, 0);
  {
    BitWriter writer(out);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    written.result =
        writeInPieces(ToyWalk{channels, limit}, writer, {bytes, bytes + 2 * samples.size()},
                      channels, written.states.data(), threads, nullptr);
    writer.alignToWord();
  }
  out.close();
  written.bytes = out.contents();
  return written;
}

// Long enough for several rounds on two and three threads, each round's first thread taking the
// round before's pieces while the others write the next: the pieces come out in order, those
// whose guess missed walked again, with the bytes, results and end states of one walk.
TEST(PieceDriver, RoundsOnThreadsWriteWhatOneWalkWrites) {
  for (const uint32_t channels : {1u, 2u}) {
    // A count whose round, on three threads, does not share out evenly.
    const size_t frames = (size_t{9} << 20) / channels + 12347;
    std::vector<uint16_t> samples(frames * channels);
    uint32_t noise = 12345;
    for (auto& s : samples) {
      noise = noise * 1103515245u + 12345u;
      s = static_cast<uint16_t>(noise >> 16);
      if (s == ToyWalk::kFlip) s = 0;
    }
    // Flags turned far from any seam, and near the pieces' first frames.
    for (const size_t at : {size_t{1000}, frames / 3, frames / 2 + 10, frames - 5000}) {
      samples[at * channels] = ToyWalk::kFlip;
    }
    const Written one = writeToy(samples, channels, 1);
    ASSERT_EQ(one.result.frames, frames);
    for (const unsigned threads : {2u, 3u}) {
      SCOPED_TRACE(testing::Message() << channels << " channels, " << threads << " threads");
      const Written many = writeToy(samples, channels, threads);
      EXPECT_EQ(many.bytes, one.bytes);
      EXPECT_EQ(many.result, one.result);
      EXPECT_EQ(many.states, one.states);
      // A walk whose results decide the run early ends in the round that decides it.
      const Written part = writeToy(samples, channels, threads, frames / 3);
      EXPECT_GT(part.result.frames, frames / 3);
      EXPECT_LT(part.result.frames, frames);
    }
  }
}

}  // namespace
}  // namespace qxw
