#include "format/qxw_layout.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/output_capture.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

TEST(QxwFile, LaysOutTheHeaderAndDataSize) {
  auto model = std::make_unique<EncoderModel>();
  const auto file = compressSamples(*model, makeSignal(Signal::Music, 3000, 2), 2, 3, 22050);
  ASSERT_GT(file.size(), 2200u);
  const uint8_t magic[] = {0x54, 0x52, 0x55, 0x56, 0x00, 0x1A, 0xFF, 0xFE};
  EXPECT_TRUE(std::equal(magic, magic + 8, file.begin()));
  EXPECT_EQ(get32(file, 8), 3000u);
  EXPECT_EQ(get32(file, 12), 2u);
  EXPECT_EQ(get32(file, 16), 22050u);
  EXPECT_EQ(get32(file, 2196), file.size() - 2200);
  EXPECT_EQ(file.size() % 4, 0u);
  for (int b = 0; b < kBinCount; ++b) {
    const size_t at = 20 + 4 * b;
    EXPECT_EQ(file[at], model->binBits[b]) << b;
    EXPECT_EQ(file[at + 1], model->binShift[b]) << b;
    EXPECT_EQ(file[at + 2] | (file[at + 3] << 8), static_cast<int>(model->binBase[b])) << b;
  }
  EXPECT_EQ(file[21] | file[22] | file[23], 0);
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolCount; ++s) {
      EXPECT_EQ(file[148 + 64 * c + s], model->codeLength[c][s]);
      EXPECT_NE(file[148 + 64 * c + s], 0);
    }
    EXPECT_EQ(file[148 + 64 * c + 63], 0);
  }
  EXPECT_EQ(model->channels, nullptr);
}

TEST(QxwFile, StoresBinEntriesAsBitsShiftAndBase) {
  auto model = makeModel(1);
  model->binBits[3] = 2;
  model->binShift[3] = 1;
  model->binBase[3] = 300;
  const auto file = capture([&](BitWriter& writer) { model->writeHeader(writer, 8000); });
  const std::vector<uint8_t> entry(file.begin() + 12 + 12, file.begin() + 12 + 16);
  EXPECT_EQ(entry, (std::vector<uint8_t>{0x02, 0x01, 0x2C, 0x01}));
  EXPECT_EQ(model->sizeFieldPosition, 2188);  // no magic before it here
}

TEST(QxwFile, HoldsOnlyTheHeaderForZeroFrames) {
  auto model = std::make_unique<EncoderModel>();
  const auto file = compressSamples(*model, {}, 1, 9);
  ASSERT_EQ(file.size(), 2200u);
  EXPECT_EQ(get32(file, 2196), 0u);
  EXPECT_EQ(file[20], 32);  // no zero difference: 32-bit run counts
}

}  // namespace
}  // namespace qxw
