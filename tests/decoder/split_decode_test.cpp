// Decoding on two threads must give exactly what one thread gives: every sample and every
// status, read by read, on sound of every kind and channel count and on damaged files; where the
// second thread's guess fails, the first decodes on alone. So must the plain code where the
// machine has faster.
#include <gtest/gtest.h>

#include <random>

#include "decoder/sample_decoder.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// Small rounds, so that a short sound holds many of them.
constexpr size_t kRoundFrames = 4096;

// Every read's status and frames, in order, and the rounds the second thread's parts made.
struct Reads {
  std::vector<Status> statuses;
  std::vector<int16_t> samples;
  size_t taken = 0;
  size_t givenUp = 0;
};

Reads readAll(const std::vector<uint8_t>& file, unsigned threads, size_t block, size_t round) {
  Reads reads;
  QxwHeader header{};
  if (parseQxwHeader(file.data(), file.size(), header) != Status::Ok) return reads;
  SampleDecoder decoder(header, file.data() + kQxwHeaderSize, {threads, round});
  std::vector<int16_t> out(block * header.channelCount);
  for (size_t frames = 1; frames > 0;) {
    const Status status = decoder.read(out.data(), block, frames);
    reads.statuses.push_back(status);
    reads.samples.insert(reads.samples.end(), out.begin(),
                         out.begin() + static_cast<long>(frames * header.channelCount));
    if (status != Status::Ok) break;
  }
  reads.taken = decoder.roundsTaken();
  reads.givenUp = decoder.roundsGivenUp();
  return reads;
}

// Two threads, and one thread on the plain code where the machine has faster shifts, read what
// one thread reads.
void expectSameReads(const std::vector<uint8_t>& file, size_t block, size_t* taken = nullptr,
                     size_t round = kRoundFrames) {
  const Reads one = readAll(file, 1, block, round);
  const Reads two = readAll(file, 2, block, round);
  const Reads plain = [&] {
    WideVectors off(false);
    return readAll(file, 1, block, round);
  }();
  for (const Reads* other : {&two, &plain}) {
    ASSERT_EQ(one.statuses, other->statuses);
    ASSERT_EQ(one.samples.size(), other->samples.size());
    for (size_t i = 0; i < one.samples.size(); ++i) {
      ASSERT_EQ(one.samples[i], other->samples[i]) << "sample " << i;
    }
  }
  if (taken != nullptr) *taken += two.taken;
}

TEST(SplitDecode, GivesTheSamplesOfOneThreadForEverySoundAndChannelCount) {
  const Signal kinds[] = {Signal::Music,  Signal::Silence,      Signal::FullScaleNoise,
                          Signal::Square, Signal::ClippedMusic, Signal::NoisyExtremes};
  for (uint32_t channels = 1; channels <= kMaxChannels; ++channels) {
    size_t taken = 0;
    for (Signal kind : kinds) {
      for (uint32_t quality : {0u, 3u, 9u}) {
        SCOPED_TRACE(::testing::Message()
                     << channels << " channels, " << signalName(kind) << " at quality " << quality);
        const auto file =
            compressSamples(makeSignal(kind, 30000, channels, channels), channels, quality);
        // Reads of odd sizes, and the whole sound in one.
        expectSameReads(file, 1000, &taken);
        expectSameReads(file, 30000);
      }
    }
    // The test means nothing unless the second thread's parts were taken.
    EXPECT_GT(taken, 0u) << channels << " channels";
  }
}

TEST(SplitDecode, GivesTheStatusesOfOneThreadOnDamagedFiles) {
  std::mt19937 rng(11);
  for (uint32_t channels : {1u, 2u, 5u}) {
    for (uint32_t quality : {2u, 9u}) {
      const auto file =
          compressSamples(makeSignal(Signal::Music, 30000, channels, 3), channels, quality);
      for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(::testing::Message()
                     << channels << " channels, quality " << quality << ", trial " << trial);
        auto damaged = file;
        switch (trial % 3) {
          case 0:  // bits flipped anywhere in the data
            for (int flips = 0; flips < 1 + trial; ++flips) {
              const size_t at = kQxwHeaderSize + rng() % (file.size() - kQxwHeaderSize);
              damaged[at] = static_cast<uint8_t>(damaged[at] ^ (1u << (rng() % 8)));
            }
            break;
          case 1:  // the data cut in half: the bits run out
            damaged.resize(kQxwHeaderSize + (file.size() - kQxwHeaderSize) / 2 / 4 * 4);
            qxw_write_le32(damaged.data() + 2196,
                           static_cast<uint32_t>(damaged.size() - kQxwHeaderSize));
            break;
          default:  // a stretch of the data replaced by noise
            for (size_t i = 0; i < 4000; ++i) {
              damaged[kQxwHeaderSize + (file.size() - kQxwHeaderSize) / 3 + i] =
                  static_cast<uint8_t>(rng());
            }
        }
        expectSameReads(damaged, 777);
      }
    }
  }
}

// Parts longer than the checkpoints, where a long run no longer starts the guess again: noise
// in the data reads as runs that pass the last frame, which one thread reports at once.
TEST(SplitDecode, GivesTheStatusesOfOneThreadWhereNoiseReadsAsLongRuns) {
  std::mt19937 rng(5);
  // Music around a long silence, which makes the run counts wide.
  auto samples = makeSignal(Signal::Music, 120000, 2, 9);
  samples.resize(samples.size() + 2 * 100000, 0);
  const auto after = makeSignal(Signal::Music, 120000, 2, 10);
  samples.insert(samples.end(), after.begin(), after.end());
  const auto file = compressSamples(samples, 2, 3);
  const size_t data = file.size() - kQxwHeaderSize;
  for (int trial = 0; trial < 8; ++trial) {
    SCOPED_TRACE(trial);
    auto damaged = file;
    const size_t from = kQxwHeaderSize + data / 4 + rng() % (data / 2);
    for (size_t i = from; i < std::min(file.size(), from + 20000); ++i) {
      damaged[i] = static_cast<uint8_t>(rng());
    }
    expectSameReads(damaged, 16384, nullptr, 60000);
  }
}

// A step of a multiple of 65536 keeps the sign but moves nothing, which putting a part right
// cannot tell from a zero step: a part with one anywhere after the point where it is met is
// dropped, whatever steps came before that point.
TEST(SplitDecode, GivesTheSamplesOfOneThreadWhereStepsWrapToNothing) {
  for (uint32_t channels : {1u, 2u, 3u}) {
    SCOPED_TRACE(::testing::Message() << channels << " channels");
    auto file = compressSamples(makeSignal(Signal::Music, 60000, channels, 4), channels, 9);
    // The first bin with an offset moves by 65536 a unit of it, from 0 as the bins below.
    uint8_t* bins = file.data() + kBinTableOffset;
    int wrapping = 1;
    while (wrapping < kBinCount - 1 && bins[4 * wrapping] == 0) ++wrapping;
    for (int b = 1; b <= wrapping; ++b) bins[4 * b + 2] = bins[4 * b + 3] = 0;
    bins[4 * wrapping + 1] = 16;
    expectSameReads(file, 5000);
  }
}

}  // namespace
}  // namespace qxw
