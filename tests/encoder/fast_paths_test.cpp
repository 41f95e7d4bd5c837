// The encoder's fast paths must give exactly what the straightforward ones give.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <random>

#include "encoder/bit_writer.h"
#include "encoder/level_lanes.h"
#include "encoder/piece_encoder.h"
#include "encoder/quantizer.h"
#include "encoder/sample_encoder.h"
#include "entropy/bin_lookup.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// Final bin tables as real runs leave them: several signals, every quality.
std::vector<std::unique_ptr<EncoderModel>> realTables() {
  std::vector<std::unique_ptr<EncoderModel>> models;
  const Signal kinds[] = {Signal::Music, Signal::FullScaleNoise, Signal::Square, Signal::Extremes,
                          Signal::Silence};
  for (Signal kind : kinds) {
    for (uint32_t quality = 0; quality <= 9; quality += 3) {
      auto model = std::make_unique<EncoderModel>();
      compressSamples(*model, makeSignal(kind, 3000, 2, quality + 1), 2, quality);
      models.push_back(std::move(model));
    }
  }
  return models;
}

#ifdef QXW_VECTORS
// The bins of sixteen magnitudes from m on, found in vector lanes.
[[gnu::target("avx512f")]] std::vector<int> binsInLanesFrom(const EncoderModel& model, uint32_t m) {
  alignas(64) uint32_t bins[16];
  const __m512i magnitudes =
      _mm512_add_epi32(_mm512_set1_epi32(static_cast<int32_t>(m)),
                       _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  _mm512_store_si512(bins, binsInLanes(magnitudes, _mm512_loadu_si512(model.binBase),
                                       _mm512_loadu_si512(model.binBase + 16)));
  return {bins, bins + 16};
}
#endif

// The table, and the search in vector lanes where the machine has them, find what the bin
// search finds: on real tables, and on random ones, repeated bases and bases out of order
// included.
TEST(BinLookup, AgreesWithTheBinSearchForEveryMagnitude) {
  std::mt19937 rng(3);
  auto models = realTables();
  for (int trial = 0; trial < 30; ++trial) {
    auto model = makeModel(1);
    for (int b = 1; b < kBinCount; ++b) {
      model->binBase[b] = std::min<uint32_t>(model->binBase[b - 1] + rng() % 4000, 65535);
    }
    // A third of them out of order, for the lanes, which must take the search's every turn.
    if (trial % 3 == 2) std::shuffle(model->binBase + 1, model->binBase + kBinCount, rng);
    models.push_back(std::move(model));
  }
  for (const auto& model : models) {
    const bool ordered = std::is_sorted(model->binBase, model->binBase + kBinCount);
    const BinLookup binOf(model->binBase);
    for (uint32_t m = 0; m <= 70000; ++m) {
      if (ordered) {
        ASSERT_EQ(binOf(m), findBin(model->binBase, m)) << m;
      }
#ifdef QXW_VECTORS
      if (m % 16 == 0 && wideVectorsAvailable()) {
        const std::vector<int> lanes = binsInLanesFrom(*model, m);
        for (uint32_t k = 0; k < 16; ++k) {
          ASSERT_EQ(lanes[k], findBin(model->binBase, m + k)) << m + k;
        }
      }
#endif
    }
  }
}

// A lane walk's samples, sixteen steps at a time and one at a time: every piece's channels in
// their lanes, step after step.
TEST(LaneInputs, TakeEveryPiecesSamplesStepByStep) {
  if (!wideVectorsAvailable()) return;  // the lanes' only callers need the vectors
  for (uint32_t channels : {1u, 2u}) {
    for (size_t count : {0u, 1u, 15u, 16u, 17u, 40u}) {
      const uint32_t pieces = kChainLanes / channels;
      // Each piece its own stretch of a buffer, the last ending with it.
      std::vector<int16_t> buffer(pieces * count * channels);
      for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<int16_t>(i * 7 - 30000);
      const auto bytes = sampleBytes(buffer);
      std::vector<const uint8_t*> starts;
      for (uint32_t p = 0; p < pieces; ++p) {
        starts.push_back(bytes.data() + 2 * p * count * channels);
      }
      std::vector<int16_t> got(count * kChainLanes);
      gatherSteps(starts.data(), channels, count, got.data());
      for (size_t t = 0; t < count; ++t) {
        for (uint32_t lane = 0; lane < kChainLanes; ++lane) {
          ASSERT_EQ(got[t * kChainLanes + lane],
                    readSample(starts[lane / channels] + 2 * (t * channels + lane % channels)))
              << channels << " channels, " << count << " steps, step " << t << ", lane " << lane;
        }
      }
    }
  }
}

// Fields packed in lanes, a piece's cursor to a lane, come out as each piece's own cursor puts
// them: from cursors holding 0 to 31 bits, with widths up to 32, frames of more than 32 bits and
// marked fields (put apart, here with their marks dropped), and pieces that take no part; marked
// fields often, or so seldom that the words of many steps are stored together.
TEST(LanePacking, PutsWhatEachPiecesCursorPuts) {
  if (!wideVectorsAvailable()) return;  // the lanes' only callers need the vectors
  constexpr uint64_t kMarks = kLaneTwo | kLaneApart | kLaneRun;
  std::mt19937 random(5);
  for (uint32_t channels : {1u, 2u}) {
    const uint32_t pieces = kChainLanes / channels;
    for (uint32_t packed : {1u, 3u, pieces}) {
      for (const auto& [wide, markOneIn] : {std::pair{0u, 64u}, {32u, 64u}, {0u, 1u << 14}}) {
        constexpr size_t kSteps = 300;
        std::vector<uint64_t> fields(kSteps * kChainLanes);
        for (uint64_t& f : fields) {
          // Widths from 0 to 4 bits, or to 32.
          const uint32_t width = random() % (wide == 0 ? 5 : 33);
          f = uint64_t{width} << 32 | (width == 0 ? 0 : random() >> (32 - width));
          if (random() % markOneIn == 0) f |= kLaneApart;
        }
        std::vector<std::vector<uint8_t>> plain(pieces), inLanes(pieces);
        std::vector<BitCursor> cursors(pieces);
        LaneCursors lanes{};
        for (uint32_t p = 0; p < packed; ++p) {
          plain[p].assign(4 * 2 * kSteps * channels + 8, 0);
          inLanes[p] = plain[p];
          const uint32_t count = random() % 32;
          cursors[p] = {random() & ((uint64_t{1} << count) - 1), count, plain[p].data()};
          lanes.set(p, {cursors[p].bits, count, inLanes[p].data()});
        }
        const auto put = [&](BitCursor& cursor, size_t t, uint32_t p) {
          for (uint32_t c = 0; c < channels; ++c)
            cursor.put(fields[t * kChainLanes + p * channels + c] & ~kMarks);
        };
        for (size_t t = 0; t < kSteps; ++t) {
          for (uint32_t p = 0; p < packed; ++p) put(cursors[p], t, p);
        }
        std::vector<uint64_t> words(kSteps * kChainLanes);
        const uint32_t active = packed == 32 ? ~uint32_t{0} : (uint32_t{1} << packed) - 1;
        for (size_t t = 0; t < kSteps; ++t) {
          const size_t from = t;
          uint32_t waiting = 0;
          t = packFieldsInLanes(lanes, channels, active, fields.data(), t, kSteps, words.data(),
                                waiting);
          storeLaneWords(lanes, packed, words.data(), from, std::min(t + 1, kSteps));
          ASSERT_EQ(waiting & ~active, 0u);
          for (; waiting != 0; waiting &= waiting - 1) {
            const auto p = static_cast<uint32_t>(std::countr_zero(waiting));
            BitCursor cursor = lanes.of(p);
            put(cursor, t, p);
            lanes.set(p, cursor);
          }
        }
        for (uint32_t p = 0; p < packed; ++p) {
          SCOPED_TRACE(::testing::Message() << channels << " channels, piece " << p << " of "
                                            << packed << (wide != 0 ? ", wide" : ""));
          const BitCursor got = lanes.of(p);
          const auto written = static_cast<size_t>(cursors[p].next - plain[p].data());
          ASSERT_EQ(got.next - inLanes[p].data(), static_cast<ptrdiff_t>(written));
          ASSERT_TRUE(std::equal(plain[p].begin(), plain[p].begin() + written, inLanes[p].begin()));
          ASSERT_EQ(got.count, cursors[p].count);
          const uint64_t pending = (uint64_t{1} << got.count) - 1;
          ASSERT_EQ(got.bits & pending, cursors[p].bits & pending);
        }
      }
    }
  }
}

// Through the table or computed, the quantizer answers every target as quantize does: the
// table's negative targets included, the targets beyond it, and the seams between the shares of
// the threads that built it.
TEST(StepTable, AgreesWithTheQuantizerForEveryTarget) {
  for (const unsigned threads : {1u, 3u}) {
    for (const auto& model : realTables()) {
      const BinLookup binOf(model->binBase);
      const StepTable steps(*model, binOf, true, threads);
      const Quantizer quantizer(*model, &steps);
      for (int32_t target = -kMaxMagnitude - 40; target <= kMaxMagnitude + 40; ++target) {
        int bin = 0;
        uint32_t offset = 0;
        const int32_t step = quantize(*model, target, bin, offset);
        const QuantizedStep q = quantizer(target);
        ASSERT_EQ(q.value, step) << target;
        ASSERT_EQ(q.bin, bin) << target;
        ASSERT_EQ(q.offset, offset) << target;
        // The lanes' word gives the same step, bin and offset, or says it lacks them.
        if (target < -kMaxMagnitude || target > kMaxMagnitude) continue;
        const int32_t word = steps.laneWordsAtZero()[target];
        if (word == StepTable::kLaneLacks) continue;
        const int32_t laneBin = word & 0xFF;
        ASSERT_EQ(word >> 8, step) << target;
        ASSERT_EQ(laneBin, bin) << target;
        const uint32_t magnitude = step < 0 ? 0u - static_cast<uint32_t>(step) : step;
        ASSERT_EQ((magnitude - model->binBase[laneBin]) >> model->binShift[laneBin],
                  bin == 0 ? 0 : offset)
            << target;
      }
    }
  }
}

// A table whose bin 2 reaches past bin 3's base: target 64 takes level 66, target 65 level 65,
// so the step falls as the target grows and bisection would be wrong.
std::unique_ptr<EncoderModel> overlappingTable() {
  auto model = makeModel(1);
  for (int b = 0; b < kBinCount; ++b) {
    model->binBase[b] = b < 3 ? static_cast<uint32_t>(b) : 41u + static_cast<uint32_t>(b) * 8;
    model->binBits[b] = b == 2 ? 4 : 3;
    model->binShift[b] = b == 2 ? 3 : 1;
  }
  model->binBits[1] = 0;
  model->binShift[1] = 0;
  return model;
}

TEST(RangeGuard, FindsTheStepOfGivingUpOneUnitAtATime) {
  std::mt19937 rng(5);
  auto models = realTables();
  models.push_back(overlappingTable());
  int bin = 0;
  uint32_t offset = 0;
  ASSERT_GT(quantize(*models.back(), 64, bin, offset), quantize(*models.back(), 65, bin, offset));
  for (const auto& model : models) {
    const StepTable steps(*model, BinLookup(model->binBase));
    const Quantizer computed(*model, nullptr);
    const Quantizer fromTable(*model, &steps);
    RangeGuard guard(computed);
    RangeGuard tableGuard(fromTable);
    for (int trial = 0; trial < 1000; ++trial) {
      const int32_t reconstructed = static_cast<int16_t>(rng());
      const int32_t target = static_cast<int32_t>(rng() % 200001) - 100000;
      int32_t slowTarget = target;
      int slowBin = 0;
      uint32_t slowOffset = 0;
      int32_t slow = quantize(*model, slowTarget, slowBin, slowOffset);
      while (reconstructed + slow >= 32768)
        slow = quantize(*model, --slowTarget, slowBin, slowOffset);
      while (reconstructed + slow < -32768)
        slow = quantize(*model, ++slowTarget, slowBin, slowOffset);
      for (RangeGuard* g : {&guard, &tableGuard}) {
        const QuantizedStep step = g->step(reconstructed, target, 0);
        ASSERT_EQ(step.value, slow) << reconstructed << " " << target;
        ASSERT_EQ(step.bin, slowBin);
        ASSERT_EQ(step.offset, slowBin == 0 ? 0 : slowOffset);
      }
    }
  }
}

// The channel states two walks leave, as a walk goes on from them.
void expectSameStates(const std::vector<ChannelState>& got, const std::vector<ChannelState>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t c = 0; c < want.size(); ++c) {
    EXPECT_TRUE(got[c].lastInput == want[c].lastInput &&
                got[c].reconstructed == want[c].reconstructed && got[c].error == want[c].error &&
                got[c].context == want[c].context && got[c].lastNegative == want[c].lastNegative &&
                got[c].runLength == want[c].runLength)
        << "channel " << c;
  }
}

// What one walk over the samples writes and keeps: in two calls, so that the states carry over.
struct Walked {
  std::vector<uint8_t> bytes;
  std::vector<int16_t> reconstruction;
  uint64_t digest = 0;
  std::vector<ChannelState> end;
};

Walked walk(const EncoderModel& model, const StepTable* steps, const std::vector<uint8_t>& input,
            std::vector<ChannelState> states) {
  OutputStream out;
  out.createInMemory();
  Walked walked;
  {
    BitWriter writer(out);
    SampleEncoder encoder(model, steps);
    walked.reconstruction.resize(input.size() / 2);
    Recorder record{walked.reconstruction.data(), 0};
    const SampleRange range = rangeOf(input);
    const size_t stride = 2 * size_t{model.channelCount};
    // An odd number of frames in each call leaves blocks that end off any group of frames.
    const uint8_t* middle = range.begin + (input.size() / stride / 3 | 1) * stride;
    encoder.encode(states.data(), range.begin, middle, range.end, writer, record);
    encoder.encode(states.data(), middle, range.end, range.end, writer, record);
    writer.alignToWord();
    walked.digest = record.digest;
  }
  out.close();
  walked.bytes = out.contents();
  walked.end = states;
  return walked;
}

// A lossless table codes each channel of a block on its own, in vector groups where the machine
// has them or a sample at a time, and falls back to the chained walk where a magnitude has no
// exact step (a table made for another sound) or an error is pending.
TEST(ExactWalk, WritesWhatTheChainedWalkWrites) {
  const Signal kinds[] = {Signal::Music, Signal::Silence, Signal::FullScaleNoise, Signal::Square,
                          Signal::ClippedMusic};
  for (bool vectors : {true, false}) {
    const WideVectors wide(vectors);
    for (uint32_t channels : {1u, 2u, 3u, 6u}) {
      for (Signal kind : kinds) {
        for (Signal madeFor : {kind, kind == Signal::Music ? Signal::LoudSquare : Signal::Music}) {
          for (int32_t pending : {0, 5}) {
            SCOPED_TRACE(::testing::Message()
                         << channels << " channels, " << signalName(kind) << " on a table for "
                         << signalName(madeFor) << ", error " << pending
                         << (vectors ? ", vectors" : ""));
            auto model = std::make_unique<EncoderModel>();
            compressSamples(*model, makeSignal(madeFor, 30000, channels, 4), channels, 9);
            const auto input = sampleBytes(makeSignal(kind, 30000, channels, 7));
            std::vector<ChannelState> start(channels, ChannelState{});
            start[0].error = pending;
            start[0].lastInput = static_cast<int16_t>(pending);
            const StepTable steps(*model, BinLookup(model->binBase));
            const Walked exact = walk(*model, &steps, input, start);
            const Walked chained = walk(*model, nullptr, input, start);
            ASSERT_EQ(exact.bytes, chained.bytes);
            ASSERT_EQ(exact.reconstruction, chained.reconstruction);
            ASSERT_EQ(exact.digest, chained.digest);
            expectSameStates(exact.end, chained.end);
          }
        }
      }
    }
  }
}

// Long stretches go through the chain lanes where the machine has them: pieces side by side from
// guessed states, taken where the guess meets the exact state, else walked again, and given up
// for one chain where the samples keep leaving the lanes (the range guard at every step) or
// where a first trial finds that a warm-up does not forget its start. The bytes, the states after
// and the lost samples are those of the chained walk, with the trial and without.
TEST(LaneWalk, WritesWhatTheChainedWalkWrites) {
  const Signal kinds[] = {Signal::Music,         Signal::ClippedMusic, Signal::LoudSquare,
                          Signal::NoisyExtremes, Signal::Silence,      Signal::FullScaleNoise};
  struct Walk {
    std::vector<uint8_t> bytes;
    std::vector<ChannelState> end;
    uint64_t lost;
    uint64_t taken;
    uint64_t missed;
  };
  // Given the chained walk's lost samples as its limit, a walk must never give up: the samples
  // the lanes lose in pieces that are walked again do not count.
  const auto walk = [](const EncoderModel& model, const StepTable& steps,
                       const std::vector<uint8_t>& input, std::vector<ChannelState> states,
                       bool trial = true, uint64_t lostLimit = UINT64_MAX) {
    OutputStream out;
    out.createInMemory();
    Walk walked;
    {
      BitWriter writer(out);
      SampleEncoder encoder(model, &steps);
      std::atomic<bool> givenUp{false};
      encoder.giveUpPast(lostLimit, givenUp);
      if (!trial) encoder.skipWarmUpTrial();
      const SampleRange range = rangeOf(input);
      encoder.encode(states.data(), range.begin, range.end, range.end, writer);
      writer.alignToWord();
      walked.lost = encoder.lostSamples();
      walked.taken = encoder.lanePiecesTaken();
      walked.missed = encoder.lanePiecesMissed();
    }
    out.close();
    walked.bytes = out.contents();
    walked.end = states;
    return walked;
  };
  for (uint32_t channels : {1u, 2u, 3u, 6u}) {
    // Enough frames for every lane's piece to code twice as many as it warms up over, and some
    // past.
    const size_t frames = 8192 * (2 * (32 / channels) + 2) + 777;
    for (Signal kind : kinds) {
      for (Signal madeFor : {kind, kind == Signal::Music ? Signal::LoudSquare : Signal::Music}) {
        for (uint32_t quality : {0u, 6u}) {
          // Codes of 30 bits, which with an offset pass what a vector lane holds, and with most
          // offsets 32 bits.
          const bool longCodes = madeFor == Signal::Music && quality == 6;
          SCOPED_TRACE(::testing::Message()
                       << channels << " channels, " << signalName(kind) << " on a Q" << quality
                       << " table for " << signalName(madeFor)
                       << (longCodes ? ", long codes" : ""));
          auto model = std::make_unique<EncoderModel>();
          compressSamples(*model, makeSignal(madeFor, 20000, channels, 40), channels, quality);
          if (longCodes) {
            for (auto& lengths : model->codeLength) std::fill_n(lengths, kSymbolCount, 30);
            for (auto& words : model->codeWord) {
              for (uint32_t& word : words) word = (word & 0xFFF) | 1u << 29;
            }
          }
          auto samples = makeSignal(kind, frames, channels, 7);
          if (kind == Signal::Music && madeFor != kind) {
            // Bursts of a loud square every 6000 frames, which a loud square's table loses.
            const auto square = makeSignal(Signal::LoudSquare, frames, channels, 7);
            for (size_t i = 0; i < samples.size(); ++i) {
              if (i / channels % 6000 < 120) samples[i] = square[i];
            }
          }
          const auto input = sampleBytes(samples);
          // A pending error and run, as a piece after the first starts.
          std::vector<ChannelState> start(channels, ChannelState{});
          start[0].error = 9;
          start[0].lastInput = 9;
          start[channels - 1].runLength = 3;
          const StepTable steps(*model, BinLookup(model->binBase), true);
          Walk lanes, untried, chained;
          {
            const WideVectors wide(false);
            chained = walk(*model, steps, input, start);
          }
          {
            const WideVectors wide(true);
            lanes = walk(*model, steps, input, start, true, chained.lost);
            untried = walk(*model, steps, input, start, false, chained.lost);
          }
          for (const Walk* walked : {&lanes, &untried}) {
            ASSERT_EQ(walked->bytes, chained.bytes);
            ASSERT_EQ(walked->lost, chained.lost);
            expectSameStates(walked->end, chained.end);
          }
          // Music on its own fine table forgets the guesses: every piece after the first is
          // taken as the lanes wrote it. Full-scale noise on its own coarsest table never does:
          // the trial gives the lanes up before they walk, where they would miss.
          const uint64_t pieces = 32 / channels - 1;
          if (kind == Signal::Music && madeFor == kind && quality == 6) {
            EXPECT_EQ(lanes.taken, pieces);
          }
          if (kind == Signal::FullScaleNoise && madeFor == kind && quality == 0) {
            EXPECT_EQ(lanes.taken + lanes.missed, 0u);
            EXPECT_GT(untried.missed, untried.taken);
          }
        }
      }
    }
  }
}

// A walk past its limit of lost samples gives up, on any number of threads: its count is then
// past the limit, and it has written only part of the file. Up to the limit, it writes what it
// writes without one.
TEST(EncodeSamples, GivesUpPastTheLostLimitOnAnyThreadCount) {
  // Music with bursts of a loud square, on a loud square's table, which loses them.
  auto model = std::make_unique<EncoderModel>();
  compressSamples(*model, makeSignal(Signal::LoudSquare, 20000, 2, 40), 2, 0);
  auto samples = makeSignal(Signal::Music, 300000, 2, 7);
  const auto square = makeSignal(Signal::LoudSquare, 300000, 2, 7);
  for (size_t i = 0; i < samples.size(); ++i) {
    if (i / 2 % 6000 < 120) samples[i] = square[i];
  }
  const auto input = sampleBytes(samples);
  const auto encode = [&](unsigned threads, uint64_t limit) {
    model->channels = std::make_unique<ChannelState[]>(model->channelCount);
    OutputStream out;
    out.createInMemory();
    uint64_t lost = 0;
    {
      BitWriter writer(out);
      lost = encodeSamplesInPieces(*model, writer, rangeOf(input), threads, {}, limit);
      writer.alignToWord();
    }
    out.close();
    return std::pair{lost, out.contents()};
  };
  const auto whole = encode(1, UINT64_MAX);
  ASSERT_GT(whole.first, 200u);
  for (unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    EXPECT_EQ(encode(threads, whole.first), whole);
    const auto part = encode(threads, whole.first / 8);
    EXPECT_GT(part.first, whole.first / 8);
    EXPECT_LT(part.second.size(), whole.second.size() / 2);
  }
}

}  // namespace
}  // namespace qxw
