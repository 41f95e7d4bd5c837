// A target walk's fields, made sixteen samples at a time, held to the plain loop.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "encoder/target_fields.h"
#include "support/model_helpers.h"
#include "support/wide_vectors.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// A walk's entries: levels of the table's bins either way, zero steps, and with runs, the zero
// steps of context 0 opening runs whose samples are held.
std::vector<uint32_t> entriesOf(const UniformTable& table, int runWidth, size_t count,
                                unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> entries;
  int context = 0;
  while (entries.size() < count) {
    const int bin = rng() % 4 == 0 ? 0 : static_cast<int>(1 + rng() % (rng() % 8 == 0 ? 31 : 6));
    if (bin == 0) {
      const uint32_t run = runWidth > 0 && context == 0 ? rng() % (1u << runWidth) : 0;
      entries.push_back(run << 8);
      entries.insert(entries.end(), run, kHeldEntry);
    } else {
      const uint32_t offset = rng() % (1u << table.bits(bin));
      const auto magnitude = static_cast<int32_t>(table.base(bin) + (offset << table.shift(bin)));
      const int32_t step = rng() % 2 == 0 ? magnitude : -magnitude;
      entries.push_back(static_cast<uint32_t>(step) << 8 | static_cast<uint32_t>(bin));
    }
    context = bin;
  }
  entries.resize(count);
  return entries;
}

TEST(FieldCodes, TurnInLanesWhatTheyTurnPlainly) {
  const UniformTable table(40.0, 30000);
  auto model = makeModel(2);
  std::mt19937 rng(5);
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolColumns; ++s) {
      // Context 3's codes too long to pack with their offsets, or at all.
      const int length = c == 3 ? 24 + s % 9 : 1 + (c + s) % 18;
      model->codeLength[c][s] = length;
      model->codeWord[c][s] = static_cast<uint32_t>(rng()) >> (32 - length);
    }
  }
  for (int runWidth : {0, 5}) {
    const FieldCodes codes(*model, table, runWidth);
    for (const auto& [count, from] : {std::tuple<size_t, FieldCodes::Position>{1000, {0, false}},
                                      {4099, {7, true}},
                                      {9, {0, true}}}) {
      const std::vector<uint32_t> entries = entriesOf(table, runWidth, count, 3 + runWidth);
      const auto turn = [&](bool lanes) {
        const WideVectors vectors(lanes);
        std::vector<uint32_t> fields = entries;
        std::vector<uint64_t> side(2 * count);
        FieldCodes::Position at = from;
        const uint64_t* end = codes.turn(fields.data(), count, at, side.data());
        side.resize(static_cast<size_t>(end - side.data()));
        return std::tuple(fields, side, at.context, at.lastNegative);
      };
      const auto plain = turn(false);
      if (count > 16) {
        EXPECT_FALSE(std::get<1>(plain).empty()) << "no wide fields";
      }
      EXPECT_EQ(turn(true), plain) << runWidth << " " << count;
    }
  }
}

}  // namespace
}  // namespace qxw
