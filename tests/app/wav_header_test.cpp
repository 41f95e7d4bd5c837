#include "app/wav_header.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/guarded_buffer.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using testing::GuardedBuffer;
using testing::makeSignal;
using testing::makeWav;
using testing::Signal;

const char* kNotWave = "Not valid Wave file";
const char* kFeatures = "Invalid Wave file features (eg. compressed or 8-bit)";
const char* kDataChunk = "Error parsing Wave file data chunk";

const char* verdict(const std::vector<uint8_t>& bytes, WaveInfo* out = nullptr) {
  WaveInfo info{};
  const char* reason = checkWaveHeader(bytes.data(), bytes.size(), info);
  if (out != nullptr) *out = info;
  return reason;
}

void set16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  set16(b, at, v & 0xFFFF);
  set16(b, at + 2, v >> 16);
}

std::vector<uint8_t> stereo() { return makeWav(std::vector<int16_t>(8, 100), 2, 44100); }

TEST(WaveHeader, AcceptsCanonicalPcmAndReportsItsFields) {
  WaveInfo info{};
  auto wav = makeWav(std::vector<int16_t>(10, 1), 2, 48000);
  ASSERT_EQ(verdict(wav, &info), nullptr);
  EXPECT_EQ(info.frameCount, 5u);
  EXPECT_EQ(info.channelCount, 2u);
  EXPECT_EQ(info.sampleRate, 48000u);
  EXPECT_EQ(info.declaredSize, wav.size());
  EXPECT_EQ(info.dataOffset, 44u);
}

TEST(WaveHeader, RejectsMissingTags) {
  for (size_t at : {0, 8, 12}) {
    auto wav = stereo();
    wav[at] ^= 0x20;  // the other letter case
    EXPECT_STREQ(verdict(wav), kNotWave) << at;
  }
  auto rifx = stereo();
  rifx[3] = 'X';
  EXPECT_STREQ(verdict(rifx), kNotWave);
}

TEST(WaveHeader, RejectsWhatIsNotSixteenBitPcm) {
  auto compressed = stereo();
  set16(compressed, 20, 3);
  EXPECT_STREQ(verdict(compressed), kFeatures);
  auto extensible = stereo();
  set16(extensible, 20, 0xFFFE);
  EXPECT_STREQ(verdict(extensible), kFeatures);
  for (uint32_t channels : {0u, 7u}) {
    auto wav = stereo();
    set16(wav, 22, channels);
    set32(wav, 28, 44100 * channels * 2);
    set16(wav, 32, channels * 2);
    EXPECT_STREQ(verdict(wav), kFeatures) << channels;
  }
  auto eightBit = stereo();  // byte rate and block align of 8-bit samples
  set32(eightBit, 28, 44100 * 2);
  set16(eightBit, 32, 2);
  set16(eightBit, 34, 8);
  EXPECT_STREQ(verdict(eightBit), kFeatures);
  auto byteRate = stereo();
  set32(byteRate, 28, 44100 * 4 + 1);
  EXPECT_STREQ(verdict(byteRate), kFeatures);
  auto blockAlign = stereo();
  set16(blockAlign, 32, 6);
  EXPECT_STREQ(verdict(blockAlign), kFeatures);
  auto deep = stereo();  // 24-bit with consistent rates
  set32(deep, 28, 44100 * 2 * 3);
  set16(deep, 32, 6);
  set16(deep, 34, 24);
  EXPECT_STREQ(verdict(deep), kFeatures);
}

TEST(WaveHeader, ComparesTheByteRateModulo32Bits) {
  auto wav = stereo();
  set32(wav, 24, 0x40000001);  // rate x 4 wraps to 4
  set32(wav, 28, 4);
  EXPECT_EQ(verdict(wav), nullptr);
}

TEST(WaveHeader, ExpectsTheDataChunkRightAfterTheFormatChunk) {
  auto wav = stereo();
  const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'a', 'b', 'c', 'd'};
  wav.insert(wav.begin() + 36, list.begin(), list.end());
  EXPECT_STREQ(verdict(wav), kDataChunk);

  // An 18-byte format chunk moves the data tag to 38 and the samples to 46.
  auto longer = stereo();
  set32(longer, 16, 18);
  longer.insert(longer.begin() + 36, {0, 0});
  WaveInfo info{};
  ASSERT_EQ(verdict(longer, &info), nullptr);
  EXPECT_EQ(info.dataOffset, 46u);
}

TEST(WaveHeader, IgnoresAPartialLastFrame) {
  auto wav = makeWav(std::vector<int16_t>(501, 0), 1);
  set32(wav, 40, 1001);
  WaveInfo info{};
  ASSERT_EQ(verdict(wav, &info), nullptr);
  EXPECT_EQ(info.frameCount, 500u);
}

TEST(WaveHeader, DeclaredSizeWrapsModulo32Bits) {
  WaveInfo info{};
  auto zero = stereo();
  set32(zero, 4, 0);
  ASSERT_EQ(verdict(zero, &info), nullptr);
  EXPECT_EQ(info.declaredSize, 8u);
  auto full = stereo();
  set32(full, 4, 0xFFFFFFFF);
  ASSERT_EQ(verdict(full, &info), nullptr);
  EXPECT_EQ(info.declaredSize, 7u);
}

TEST(WaveHeader, NeverReadsPastTheEndOfAShortFile) {
  const auto wav = stereo();
  for (size_t length = 0; length < 44; ++length) {
    // Each prefix lives in its own exact-size allocation, so a sanitizer sees any overread.
    std::vector<uint8_t> prefix(wav.begin(), wav.begin() + static_cast<long>(length));
    const char* reason = verdict(prefix);
    ASSERT_NE(reason, nullptr) << length;
    EXPECT_STREQ(reason, length < 36 ? kNotWave : kDataChunk) << length;
  }
  auto farTag = stereo();
  set32(farTag, 16, 0xFFFFFFF0);
  EXPECT_STREQ(verdict(farTag), kDataChunk);
}

TEST(WaveHeader, ChecksStayInsideEveryTruncationBeforeAnUnreadablePage) {
  auto wav = makeWav(makeSignal(Signal::Music, 10, 2), 2);
  // An 18-byte format chunk as well, and one that points the data tag at the very end.
  auto farTag = wav;
  farTag[16] = static_cast<uint8_t>(wav.size() - 20 - 4);
  // Every cut is refused without a read past it (the guard page would fault); whole, the plain
  // file is taken and the far tag, whose size runs past the end, is not.
  for (const auto& [file, takenWhole] : {std::pair{wav, true}, std::pair{farTag, false}}) {
    for (size_t length = 0; length <= file.size(); ++length) {
      const GuardedBuffer buffer({file.begin(), file.begin() + static_cast<long>(length)});
      WaveInfo info{};
      const char* verdict = checkWaveHeader(buffer.data(), buffer.size(), info);
      if (length < 44) {
        EXPECT_NE(verdict, nullptr) << length;
      }
      if (length == file.size()) {
        EXPECT_EQ(verdict == nullptr, takenWhole) << length;
      }
    }
  }
}

}  // namespace
}  // namespace qxw
