// Damaged files must end in a clear status, never a crash, a hang or a read outside the file.
// Every case here runs on an exact-size copy, so the sanitizer build sees any overread.
#include <gtest/gtest.h>

#include <random>

#include "support/pipeline.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

std::vector<uint8_t> smallFile(uint32_t quality) {
  return compressSamples(makeSignal(Signal::Music, 400, 2), 2, quality);
}

TEST(CorruptInput, RefusesEveryTruncation) {
  const auto file = smallFile(5);
  for (size_t length = 0; length < file.size(); ++length) {
    const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<long>(length));
    const Decoded decoded = decompress(cut);
    // Once the magic is whole, a shorter file is a cut QXW file.
    EXPECT_EQ(decoded.header, length < 8 ? Status::NotQxw : Status::Truncated) << length;
  }
}

TEST(CorruptInput, ReportsDataThatEndsEarlyOrCarriesMore) {
  auto file = smallFile(9);
  // A data size one word short makes the bits run out; one word more leaves a nonzero tail.
  auto shorter = file;
  shorter.resize(file.size() - 4);
  shorter[2196] = static_cast<uint8_t>(shorter[2196] - 4);
  EXPECT_EQ(decompress(shorter).data, Status::Corrupt);
  auto longer = file;
  longer.insert(longer.end(), {1, 0, 0, 0});
  longer[2196] = static_cast<uint8_t>(longer[2196] + 4);
  EXPECT_EQ(decompress(longer).data, Status::Corrupt);
}

TEST(CorruptInput, RefusesARunPastTheLastFrame) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 200; ++i) samples.push_back(static_cast<int16_t>(i * 37 % 500 + 1));
  samples.resize(1200, 0);
  auto file = compressSamples(samples, 1, 9);
  EXPECT_EQ(decompress(file).data, Status::Ok);
  file[8] = static_cast<uint8_t>(file[8] - 1);  // one frame fewer: the closing run passes the end
  EXPECT_EQ(decompress(file).data, Status::Corrupt);
}

TEST(CorruptInput, RejectsHeadersNoWriterProduces) {
  const auto file = smallFile(3);
  auto expectInvalid = [&](size_t at, uint8_t value) {
    auto bad = file;
    bad[at] = value;
    EXPECT_EQ(decompress(bad).header, Status::InvalidHeader) << at;
  };
  expectInvalid(12, 0);                 // no channels
  expectInvalid(12, 7);                 // seven channels
  expectInvalid(148 + 63, 1);           // a 64th symbol
  expectInvalid(148 + 5, 0);            // a symbol without a code
  expectInvalid(148 + 64 * 3 + 2, 33);  // a length above 32
  expectInvalid(20 + 4 * 31 + 3, 0);    // the last base below the one before
  expectInvalid(20 + 4 * 5, 17);        // 17 offset bits
  expectInvalid(20 + 1, 1);             // a shift for bin 0
  auto wrongMagic = file;
  wrongMagic[0] = 'X';
  EXPECT_EQ(decompress(wrongMagic).header, Status::NotQxw);
  auto tooLong = file;  // more samples than a WAV file can hold
  tooLong[8] = tooLong[9] = tooLong[10] = tooLong[11] = 0xFF;
  EXPECT_EQ(decompress(tooLong).header, Status::InvalidHeader);
}

TEST(CorruptInput, SurvivesRandomBitFlips) {
  std::mt19937 rng(7);
  for (uint32_t quality : {0u, 4u, 9u}) {
    const auto file = smallFile(quality);
    for (int trial = 0; trial < 150; ++trial) {
      auto damaged = file;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) {
        // Half of the flips land in the header, half in the data.
        const size_t at = trial % 2 ? rng() % 2200 : 2200 + rng() % (file.size() - 2200);
        damaged[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      const Decoded decoded = decompress(damaged);
      if (decoded.data == Status::Ok) {
        EXPECT_EQ(decoded.samples.size(), 400u * 2) << trial;
      }
    }
  }
}

TEST(CorruptInput, SurvivesRandomBytes) {
  std::mt19937 rng(11);
  const auto valid = smallFile(9);
  for (int trial = 0; trial < 100; ++trial) {
    // A valid header over random data, and random bytes behind a valid magic.
    auto data = valid;
    for (size_t i = 2200; i < data.size(); ++i) data[i] = static_cast<uint8_t>(rng());
    decompress(data);
    std::vector<uint8_t> noise(2200 + rng() % 600);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    std::copy(valid.begin(), valid.begin() + 8, noise.begin());
    EXPECT_NE(decompress(noise).header, Status::Ok);
  }
}

}  // namespace
}  // namespace qxw
