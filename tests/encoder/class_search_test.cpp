// The class search in vector lanes against the same search one hypothesis at a time, and two
// searches side by side against each alone: the same choices, checkpoints, symbols and error, on
// narrow beams, near the rails, inside runs and from states in the middle of a sound.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <string>

#include "encoder/class_search.h"
#include "support/signals.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

struct Searched {
  std::vector<uint8_t> choices;
  std::vector<TargetState> checkpoints;
  SymbolCounts counts{};
  uint64_t noise = 0;
};

// Every channel from its skipped frames on, one at a time or two side by side: the odd channels
// 517 frames further from the start, the even ones from a state partway in, so that either search
// of a pair may be the longer.
Searched searchAll(const ClassSearch& search, const UniformTable& table, SampleRange range,
                   uint32_t channels, size_t skipped, const TargetState& start, bool sideBySide) {
  const size_t frames = range.sampleCount() / channels;
  SearchedPath path(channels, frames);
  path.chooseOn(table);
  Searched searched;
  const auto firstOf = [&](uint32_t c) { return skipped + (c % 2 == (skipped == 0)) * 517; };
  const auto stretchOf = [&](uint32_t c) -> ClassSearch::Stretch {
    return {range.begin + firstOf(c) * 2 * channels, range.end, range.end, c, start};
  };
  for (uint32_t c = 0; c < channels; c += sideBySide ? 2 : 1) {
    const ClassSearch::Stretch stretches[2] = {stretchOf(c), stretchOf(c + 1)};
    const size_t count = sideBySide && c + 1 < channels ? 2 : 1;
    const auto noise =
        search.searchStretches(range.begin, std::span(stretches, count), &path, searched.counts);
    searched.noise += noise[0] + noise[1];
  }
  for (uint32_t c = 0; c < channels; ++c) {
    for (size_t f = skipped + c % 2 * 517; f < frames; ++f)
      searched.choices.push_back(path.at(c, f));
    for (size_t k = 1; k <= frames / SearchedPath::kCheckpointFrames; ++k) {
      searched.checkpoints.push_back(path.checkpoint(c, k));
    }
  }
  return searched;
}

TEST(ClassSearch, InLanesFindsWhatThePlainSearchFinds) {
  if (!wideVectorsAvailable()) GTEST_SKIP() << "no wide vectors on this machine";
  std::mt19937 random(5);
  for (const Signal kind : {Signal::Music, Signal::ClippedMusic, Signal::NoisyExtremes,
                            Signal::LoudSquare, Signal::FullScaleNoise, Signal::Silence}) {
    for (const uint32_t channels : {1u, 3u}) {
      const size_t frames = 2 * SearchedPath::kCheckpointFrames + 300;
      std::vector<int16_t> input = makeSignal(kind, frames, channels);
      // Stretches of repeats, for the runs.
      for (size_t i = 1000 * channels; i < 1400 * channels; ++i) input[i] = input[i - channels];
      std::vector<uint8_t> bytes(2 * input.size());
      putSamples(input.data(), input.size(), bytes.data());
      const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
      for (const double step : {2.0, 37.0, 900.0, 40000.0}) {
        const int runWidth = step < 100 ? (step < 10 ? 16 : 3) : 0;
        // A table below the sound's largest difference at one step, so that no level reaches
        // some targets.
        const UniformTable table(step, step == 37.0 ? 1500 : 65535, UniformTable::Shape{true, 2});
        ClassSearch::RateCosts rates{};
        std::uniform_int_distribution<int64_t> cost(0, int64_t{16} << (step < 100 ? 12 : 24));
        for (auto& context : rates) {
          for (int64_t& rate : context) rate = cost(random);
        }
        for (int width = 1; width <= 4; ++width) {
          ClassSearch search(table, runWidth, channels, width);
          if (width % 2 == 0) search.weighRates(rates);
          // From the start, and from a state inside a run partway in.
          for (const size_t skipped : {size_t{0}, size_t{1013}}) {
            const TargetState start = skipped == 0 ? TargetState{}
                                                   : TargetState{input[skipped * channels], 0,
                                                                 false, runWidth > 0 ? 5u : 0u};
            Searched lanes, plain, lanesSideBySide, plainSideBySide;
            {
              const WideVectors on(true);
              lanes = searchAll(search, table, range, channels, skipped, start, false);
              lanesSideBySide = searchAll(search, table, range, channels, skipped, start, true);
            }
            {
              const WideVectors off(false);
              plain = searchAll(search, table, range, channels, skipped, start, false);
              plainSideBySide = searchAll(search, table, range, channels, skipped, start, true);
            }
            const std::string where = std::string(signalName(kind)) + ", " +
                                      std::to_string(channels) + " channels, step " +
                                      std::to_string(step) + ", width " + std::to_string(width) +
                                      ", from " + std::to_string(skipped);
            const auto expectSame = [&](const Searched& a, const std::string& how) {
              ASSERT_EQ(a.noise, plain.noise) << where << how;
              ASSERT_EQ(a.choices, plain.choices) << where << how;
              ASSERT_EQ(std::memcmp(a.counts, plain.counts, sizeof(SymbolCounts)), 0)
                  << where << how;
              for (size_t k = 0; k < a.checkpoints.size(); ++k) {
                const TargetState &x = a.checkpoints[k], &y = plain.checkpoints[k];
                ASSERT_TRUE(x.reconstructed == y.reconstructed && x.context == y.context &&
                            x.lastNegative == y.lastNegative && x.runLength == y.runLength)
                    << where << how << ", checkpoint " << k;
              }
            };
            expectSame(lanes, "");
            expectSame(lanesSideBySide, ", side by side");
            expectSame(plainSideBySide, ", side by side, plainly");
          }
        }
      }
    }
  }
}

// A long sound's channel searched in two halves side by side, the second from a guess, gives
// what one search from the start gives: on music, where the guess meets the first half's beam,
// and on full-scale noise and near the rails, where it misses and the second half is searched
// again; in lanes and plainly, on a beam too wide for the lanes; side by side and on two threads.
TEST(ClassSearch, InHalvesFindsWhatOneSearchFinds) {
  const uint32_t channels = 2;
  const size_t frames = 300000;
  for (const Signal kind : {Signal::Music, Signal::FullScaleNoise, Signal::NoisyExtremes}) {
    const std::vector<int16_t> input = makeSignal(kind, frames, channels);
    std::vector<uint8_t> bytes(2 * input.size());
    putSamples(input.data(), input.size(), bytes.data());
    const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
    const UniformTable table(kind == Signal::Music ? 20.0 : 300.0, 65535,
                             UniformTable::Shape{true, 2});
    for (const int width : {4, 8}) {
      for (const bool lanes : {true, false}) {
        const WideVectors vectors(lanes);
        const ClassSearch search(table, 3, channels, width);
        Searched whole, halves, halvesOnThreads;
        for (Searched* searched : {&whole, &halves, &halvesOnThreads}) {
          SearchedPath path(channels, frames);
          path.chooseOn(table);
          for (uint32_t c = 0; c < channels; ++c) {
            searched->noise +=
                searched == &whole
                    ? search.searchChannel(range.begin, range.begin, range.end, range.end, c,
                                           TargetState{}, &path, searched->counts)
                    : search.searchInHalves(range.begin, range.end, c, &path, searched->counts,
                                            searched == &halves ? 1 : 2);
            for (size_t f = 0; f < frames; ++f) searched->choices.push_back(path.at(c, f));
            for (size_t k = 1; k <= frames / SearchedPath::kCheckpointFrames; ++k) {
              searched->checkpoints.push_back(path.checkpoint(c, k));
            }
          }
        }
        for (const Searched* split : {&halves, &halvesOnThreads}) {
          const std::string where = std::string(signalName(kind)) + ", width " +
                                    std::to_string(width) + (lanes ? ", lanes" : "") +
                                    (split == &halves ? "" : ", on two threads");
          ASSERT_EQ(split->noise, whole.noise) << where;
          ASSERT_EQ(split->choices, whole.choices) << where;
          ASSERT_EQ(std::memcmp(split->counts, whole.counts, sizeof(SymbolCounts)), 0) << where;
          for (size_t k = 0; k < whole.checkpoints.size(); ++k) {
            const TargetState &a = split->checkpoints[k], &b = whole.checkpoints[k];
            ASSERT_TRUE(a.reconstructed == b.reconstructed && a.context == b.context &&
                        a.lastNegative == b.lastNegative && a.runLength == b.runLength)
                << where << ", checkpoint " << k;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace qxw
