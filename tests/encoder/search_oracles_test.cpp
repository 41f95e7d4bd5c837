// The searches against plain oracles: the class search's beam against an exhaustive search of
// every level sequence on tiny inputs and against the nearest allowed level on long ones, the
// log-step search against a fine scan of the estimate, and the step search against files
// written at a scan of steps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "analysis/uniform_table.h"
#include "encoder/bit_writer.h"
#include "encoder/class_search.h"
#include "encoder/class_step_search.h"
#include "encoder/output_stream.h"
#include "encoder/size_target.h"
#include "encoder/step_search.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// The trellis as the class search's contract states it, walked by brute force: after a single
// level of bin k with k mod 4 in {0, 3} (the zero step included) only the even single levels and
// the tail may follow, after k mod 4 in {1, 2} only the odd ones and the tail; after a tail step
// anything. Every step keeps a 16-bit sample.
class Trellis {
 public:
  Trellis(const UniformTable& table, const ClassSearch::RateCosts* rates)
      : table_(table), rates_(rates) {}

  struct State {
    int32_t reconstructed = 0;
    int context = 0;
    bool lastNegative = false;
  };

  bool allowed(int context, const Level& level) const {
    const int singles = table_.singleLevels();
    if (context > singles || level.bin > singles) return true;
    const bool evenAfter = context % 4 == 0 || context % 4 == 3;
    return (level.bin % 2 == 0) == evenAfter;
  }

  // The cost of one step of `level` (down or up) from st at input x, and the state it leaves.
  int64_t step(const State& st, const Level& level, bool down, int16_t x, State& next) const {
    const bool turnsDown = down && level.magnitude != 0;
    next.reconstructed = st.reconstructed + (down ? -level.magnitude : level.magnitude);
    next.context = level.bin;
    next.lastNegative = turnsDown;
    const int symbol = symbolOf(level.bin, turnsDown != st.lastNegative);
    const int64_t e = int64_t{x} - next.reconstructed;
    return ClassSearch::kErrorScale * e * e +
           (rates_ != nullptr ? (*rates_)[st.context][symbol] : 0);
  }

  bool inRange(int32_t r) const { return r >= -32768 && r <= 32767; }

  // The cheapest cost of any level sequence over the input from t on, from st.
  int64_t cheapest(const std::vector<int16_t>& x, size_t t, const State& st) const {
    if (t == x.size()) return 0;
    int64_t best = std::numeric_limits<int64_t>::max();
    for (const Level& level : table_.levels()) {
      if (!allowed(st.context, level)) continue;
      for (const bool down : {false, true}) {
        if (down && level.magnitude == 0) continue;
        State next;
        const int64_t cost = step(st, level, down, x[t], next);
        if (!inRange(next.reconstructed) || cost >= best) continue;
        best = std::min(best, cost + cheapest(x, t + 1, next));
      }
    }
    return best;
  }

  // The cost of a reconstruction, which must be a sequence the trellis allows.
  int64_t costOf(const std::vector<int16_t>& x, const std::vector<int16_t>& r) const {
    State st;
    int64_t cost = 0;
    for (size_t t = 0; t < x.size(); ++t) {
      const int32_t change = r[t] - st.reconstructed;
      const Level& level = table_.nearest(static_cast<uint32_t>(std::abs(change)));
      EXPECT_EQ(level.magnitude, std::abs(change)) << "not a level, at " << t;
      EXPECT_TRUE(allowed(st.context, level))
          << "bin " << int{level.bin} << " after " << st.context << ", at " << t;
      State next;
      cost += step(st, level, change < 0, x[t], next);
      st = next;
    }
    return cost;
  }

  // Each step the allowed level nearest the input: a path of the trellis a search must not lose
  // to.
  int64_t nearestCost(const std::vector<int16_t>& x) const {
    State st;
    int64_t cost = 0;
    for (const int16_t sample : x) {
      int64_t best = std::numeric_limits<int64_t>::max();
      State chosen;
      for (const Level& level : table_.levels()) {
        for (const bool down : {false, true}) {
          State next;
          const int64_t c = step(st, level, down, sample, next);
          if (allowed(st.context, level) && inRange(next.reconstructed) && c < best) {
            best = c, chosen = next;
          }
        }
      }
      cost += best;
      st = chosen;
    }
    return cost;
  }

 private:
  const UniformTable& table_;
  const ClassSearch::RateCosts* rates_;
};

// The reconstruction a walk finds again from a searched path, and the symbols it codes.
struct Walked {
  std::vector<int16_t> reconstruction;
  std::unique_ptr<CountsOf> counts = std::make_unique<CountsOf>();
};

Walked walkedPath(const UniformTable& table, int runWidth, const SearchedPath& path,
                  SampleRange range) {
  const uint32_t channels = path.channels();
  auto model = std::make_unique<EncoderModel>();
  model->initialize(channels);
  Walked walked;
  walked.reconstruction.resize(range.sampleCount());
  OutputStream file;
  file.createInMemory();
  BitWriter writer(file);
  writeTargetSamples({table, runWidth, channels, &path}, *model, writer, range,
                     {walked.reconstruction.data(), nullptr}, 2);
  std::vector<TargetState> states(channels);
  countTargetSymbols({table, runWidth, channels, &path}, range, states.data(),
                     walked.counts->counts);
  return walked;
}

uint64_t noiseBetween(SampleRange range, const std::vector<int16_t>& reconstruction) {
  uint64_t noise = 0;
  for (size_t i = 0; i < reconstruction.size(); ++i) {
    const int64_t e = readSample(range.begin + 2 * i) - reconstruction[i];
    noise += static_cast<uint64_t>(e * e);
  }
  return noise;
}

// The class search's reconstruction of a mono input, from silence, as a walk finds it again from
// the search's path: the symbols and the error the search measured are the walk's.
std::vector<int16_t> beamOf(const ClassSearch& search, const UniformTable& table,
                            const std::vector<int16_t>& x) {
  std::vector<uint8_t> bytes(2 * x.size());
  putSamples(x.data(), x.size(), bytes.data());
  const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
  SearchedPath path(1, x.size());
  path.chooseOn(table);
  CountsOf counts{};
  const uint64_t noise = search.searchChannel(range.begin, range.begin, range.end, range.end, 0,
                                              TargetState{}, &path, counts.counts);
  Walked walked = walkedPath(table, 0, path, range);
  EXPECT_EQ(noise, noiseBetween(range, walked.reconstruction));
  EXPECT_EQ(std::memcmp(counts.counts, walked.counts->counts, sizeof(SymbolCounts)), 0);
  return walked.reconstruction;
}

struct Rates {
  ClassSearch::RateCosts costs;
};

std::unique_ptr<Rates> randomRates(std::mt19937& random) {
  auto rates = std::make_unique<Rates>();
  std::uniform_int_distribution<int64_t> cost(0, 4000);
  for (auto& context : rates->costs) {
    for (int64_t& symbol : context) symbol = cost(random);
  }
  return rates;
}

TEST(ClassSearchOracle, AWideBeamFindsTheCheapestOfEveryLevelSequenceOnTinyInputs) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> sample(-400, 400);
  for (int trial = 0; trial < 60; ++trial) {
    const UniformTable table(trial % 2 == 0 ? 37 : 90, 1200,
                             UniformTable::Shape{false, 2, 2 + trial % 5});
    const auto rates = trial % 3 == 0 ? randomRates(random) : nullptr;
    std::vector<int16_t> x(3);
    for (int16_t& v : x) v = static_cast<int16_t>(sample(random));
    ClassSearch search(table, 0, 1, ClassSearch::kWidest);
    if (rates) search.weighRates(rates->costs);
    const Trellis trellis(table, rates ? &rates->costs : nullptr);
    EXPECT_EQ(trellis.costOf(x, beamOf(search, table, x)), trellis.cheapest(x, 0, {}))
        << "trial " << trial;
  }
}

TEST(ClassSearchOracle, NeverLosesToTheNearestAllowedLevelPastItsDecisionDelay) {
  for (const Signal kind : {Signal::Music, Signal::FullScaleNoise, Signal::ClippedMusic,
                            Signal::NoisyExtremes, Signal::Square}) {
    const std::vector<int16_t> x = makeSignal(kind, 5000, 1);
    for (const double step : {3.0, 40.0, 700.0}) {
      const UniformTable table(step, 65535, UniformTable::Shape{true, 2});
      for (const int width : {4, 8, ClassSearch::kWidest}) {
        ClassSearch search(table, 0, 1, width);
        const Trellis trellis(table, nullptr);
        const int64_t beam = trellis.costOf(x, beamOf(search, table, x));
        EXPECT_LE(beam, trellis.nearestCost(x))
            << signalName(kind) << ", step " << step << ", width " << width;
      }
    }
  }
}

// Two bits a sample stand for the whole reconstruction: on every channel count, with and without
// runs, near the rails and at steps past half the range, a walk finds again from the path alone
// what the search settled, symbol for symbol, and passes the states the path keeps at its
// checkpoints.
TEST(SearchedPath, AWalkFindsAgainWhatTheSearchSettled) {
  for (const Signal kind : {Signal::Music, Signal::Square, Signal::NoisyExtremes,
                            Signal::ClippedMusic, Signal::LoudSquare}) {
    for (const uint32_t channels : {1u, 2u, 3u, 6u}) {
      const size_t frames = 2 * SearchedPath::kCheckpointFrames + 7;
      const std::vector<int16_t> input = makeSignal(kind, frames, channels);
      std::vector<uint8_t> bytes(2 * input.size());
      putSamples(input.data(), input.size(), bytes.data());
      const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
      for (const double step : {2.0, 150.0, 40000.0}) {
        const int runWidth = step < 100 ? 4 : 0;
        const UniformTable table(step, 65535, UniformTable::Shape{true, 2});
        const ClassSearch search(table, runWidth, channels, 8);
        SearchedPath path(channels, frames);
        path.chooseOn(table);
        CountsOf counts{};
        uint64_t noise = 0;
        for (uint32_t c = 0; c < channels; ++c) {
          noise += search.searchChannel(range.begin, range.begin, range.end, range.end, c,
                                        TargetState{}, &path, counts.counts);
        }
        const Walked walked = walkedPath(table, runWidth, path, range);
        const std::string where = std::string(signalName(kind)) + ", " + std::to_string(channels) +
                                  " channels, step " + std::to_string(step);
        EXPECT_EQ(noise, noiseBetween(range, walked.reconstruction)) << where;
        EXPECT_EQ(std::memcmp(counts.counts, walked.counts->counts, sizeof(SymbolCounts)), 0)
            << where;
        std::vector<TargetState> states(channels);
        const uint8_t* at = range.begin;
        for (size_t k = 1; k <= frames / SearchedPath::kCheckpointFrames; ++k) {
          const uint8_t* next = at + SearchedPath::kCheckpointFrames * 2 * channels;
          skipTargetFrames({table, runWidth, channels, &path}, range, states.data(), at, next);
          at = next;
          for (uint32_t c = 0; c < channels; ++c) {
            const TargetState& kept = path.checkpoint(c, k);
            EXPECT_TRUE(kept.reconstructed == states[c].reconstructed &&
                        kept.context == states[c].context &&
                        kept.lastNegative == states[c].lastNegative &&
                        kept.runLength == states[c].runLength)
                << where << ", checkpoint " << k << ", channel " << c;
          }
        }
      }
    }
  }
}

TEST(LogStepSearchOracle, LandsAsNearAsAFineScanOfTheEstimate) {
  const double samples = 1e6;
  struct Curve {
    const char* name;
    double (*bits)(double);
  };
  const Curve curves[] = {
      {"a bit a doubling", [](double x) { return 1e6 * (12 - 0.9 * x); }},
      {"flattening", [](double x) { return 1e6 * (2 + 10 * std::exp2(-x / 3)); }},
      {"flat then steep", [](double x) { return 1e6 * (9 - 0.03 * x * x); }},
      {"stairs", [](double x) { return 1e6 * (12 - std::floor(x * 4) / 4); }},
  };
  for (const Curve& curve : curves) {
    // The fine scan: the nearest any log-step in [0, 16] comes to each target.
    for (const double target : {0.5e6, 2e6, 4.3e6, 7.7e6, 11e6, 20e6}) {
      double scanned = std::numeric_limits<double>::max(), answer = 0;
      for (double x = 0; x <= 16; x += 1e-4) {
        const double miss = std::fabs(curve.bits(x) - target);
        if (miss < scanned) scanned = miss, answer = x;
      }
      // A first guess within two doublings of the answer, as the entropy gives it.
      for (const double start : {std::max(answer - 2, 0.0), answer, std::min(answer + 2, 16.0)}) {
        const LogStepFound found = searchLogStep(target, start, samples, 0, curve.bits);
        EXPECT_NEAR(found.miss, std::fabs(curve.bits(found.logStep) - target), 1e-6);
        EXPECT_LE(found.miss, std::max(0.004 * target, scanned + 0.004 * target))
            << curve.name << ", target " << target << ", from " << start;
      }
    }
  }
}

TEST(StepSearchOracle, ItsFileIsAsNearTheTargetAsTheBestOfAScanOfSteps) {
  for (const Signal kind : {Signal::Music, Signal::FullScaleNoise, Signal::ClippedMusic}) {
    for (const uint32_t channels : {1u, 2u}) {
      const std::vector<int16_t> input = makeSignal(kind, 40000, channels);
      std::vector<uint8_t> bytes(2 * input.size());
      putSamples(input.data(), input.size(), bytes.data());
      const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
      const SoundFormat format{static_cast<uint32_t>(input.size() / channels), channels, 44100};
      auto model = std::make_unique<EncoderModel>();
      model->initialize(channels);
      histogramDeltasInPieces(*model, range, 1);
      model->frameCount = format.frameCount;
      StepSearch search(*model, range, channels, 1);
      const double count = static_cast<double>(input.size());
      for (const double bitsPerSample : {2.5, 4.0, 6.0}) {
        const auto table = search.find(bitsPerSample);
        fitCodes(*model, search.counts(), *table, search.runWidth());
        const double found =
            8.0 * static_cast<double>(
                      writeTargetFile(*model, *table, search.runWidth(), range, format, false, 1)
                          .bytes.size());
        // The same walk at every step of a scan, each file coded with codes of its own.
        auto scanModel = std::make_unique<EncoderModel>();
        double nearest = std::numeric_limits<double>::max();
        for (double logStep = 0; logStep <= 12; logStep += 0.125) {
          const UniformTable scanned(std::exp2(logStep), search.largestDifference());
          scanModel->initialize(channels);
          // Codes fitted to this step's own walk, as any file's are.
          SymbolCounts counts{};
          std::vector<TargetState> states(channels);
          countTargetSymbols({scanned, 0, channels}, range, states.data(), counts);
          fitCodes(*scanModel, counts, scanned, 0);
          const double bits =
              8.0 *
              static_cast<double>(
                  writeTargetFile(*scanModel, scanned, 0, range, format, false, 1).bytes.size());
          nearest = std::min(nearest, std::fabs(bits - bitsPerSample * count));
        }
        // The header is counted in both; the search aims the data at the target within 3%.
        EXPECT_LE(std::fabs(found - bitsPerSample * count),
                  nearest + kTargetMiss * bitsPerSample * count)
            << signalName(kind) << ", " << channels << " channels, " << bitsPerSample;
      }
    }
  }
}

TEST(ClassStepSearchOracle, ItsReconstructionIsAsNearTheTargetAsTheBestOfAScanOfSteps) {
  for (const Signal kind : {Signal::Music, Signal::ClippedMusic}) {
    const uint32_t channels = 2;
    const std::vector<int16_t> input = makeSignal(kind, 12000, channels);
    std::vector<uint8_t> bytes(2 * input.size());
    putSamples(input.data(), input.size(), bytes.data());
    const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
    const double count = static_cast<double>(input.size());
    auto model = std::make_unique<EncoderModel>();
    model->initialize(channels);
    histogramDeltasInPieces(*model, range, 1);
    model->frameCount = static_cast<uint32_t>(input.size() / channels);
    StepSearch nearest(*model, range, channels, 1);
    for (const double bitsPerSample : {2.5, 4.0}) {
      nearest.find(bitsPerSample);
      ClassStepSearch search(*model, range, channels, 2, searchEffort(2));
      SearchedPath path(channels, input.size() / channels);
      const auto table =
          search.find(bitsPerSample, nearest.logStep(), nearest.largestDifference(), 0, path);
      EXPECT_EQ(search.noise(),
                noiseBetween(range, walkedPath(*table, 0, path, range).reconstruction));
      // The bits of the class search's own reconstruction at each step of a scan, with codes
      // fitted to it.
      double scanned = std::numeric_limits<double>::max();
      auto scanModel = std::make_unique<EncoderModel>();
      scanModel->initialize(channels);
      for (double logStep = 0; logStep <= 12; logStep += 0.25) {
        const UniformTable table(std::exp2(logStep), nearest.largestDifference(),
                                 UniformTable::Shape{true, 2});
        const ClassSearch beam(table, 0, channels, searchEffort(2).width);
        SymbolCounts counts{};
        for (uint32_t c = 0; c < channels; ++c) {
          beam.searchChannel(range.begin, range.begin, range.end, range.end, c, TargetState{},
                             nullptr, counts);
        }
        const double bits = static_cast<double>(fitCodes(*scanModel, counts, table, 0));
        scanned = std::min(scanned, std::fabs(bits - bitsPerSample * count));
      }
      EXPECT_LE(std::fabs(static_cast<double>(search.bits()) - bitsPerSample * count),
                scanned + kTargetMiss * bitsPerSample * count)
          << signalName(kind) << ", " << bitsPerSample;
    }
  }
}

// A sound whose path leaves no room for a second one searches its best pass again where a later
// pass ended further off: the same step, choices, symbols and error as with room.
TEST(ClassStepSearch, SearchesTheBestPassAgainWhereOnlyOnePathIsKept) {
  const uint32_t channels = 2;
  const std::vector<int16_t> input = makeSignal(Signal::Music, 30000, channels);
  const size_t frames = input.size() / channels;
  std::vector<uint8_t> bytes(2 * input.size());
  putSamples(input.data(), input.size(), bytes.data());
  const SampleRange range{bytes.data(), bytes.data() + bytes.size()};
  auto model = std::make_unique<EncoderModel>();
  model->initialize(channels);
  histogramDeltasInPieces(*model, range, 1);
  model->frameCount = static_cast<uint32_t>(frames);
  StepSearch nearest(*model, range, channels, 1);
  for (const double bitsPerSample : {1.5, 3.0, 6.0, 8.0}) {
    nearest.find(bitsPerSample);
    const auto search = [&](size_t spareBytes, SearchedPath& path) {
      ClassStepSearch search(*model, range, channels, 2, searchEffort(1));
      search.keepSparePathsUpTo(spareBytes);
      search.find(bitsPerSample, nearest.logStep(), nearest.largestDifference(), 3, path);
      auto counts = std::make_unique<CountsOf>();
      std::memcpy(counts->counts, search.counts(), sizeof(SymbolCounts));
      return std::tuple(search.bits(), search.noise(), std::move(counts));
    };
    SearchedPath two(channels, frames), one(channels, frames);
    const auto [bits, noise, counts] = search(two.bytes(), two);
    const auto [oneBits, oneNoise, oneCounts] = search(0, one);
    EXPECT_EQ(oneBits, bits) << bitsPerSample;
    EXPECT_EQ(oneNoise, noise) << bitsPerSample;
    EXPECT_EQ(std::memcmp(oneCounts->counts, counts->counts, sizeof(SymbolCounts)), 0);
    bool same = true;
    for (uint32_t c = 0; c < channels; ++c) {
      for (size_t f = 0; f < frames; ++f) same &= one.at(c, f) == two.at(c, f);
    }
    EXPECT_TRUE(same) << bitsPerSample;
  }
}

}  // namespace
}  // namespace qxw
