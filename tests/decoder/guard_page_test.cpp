// Inputs placed so that they end right before an unreadable page: a read of even one byte past
// the end faults at once, in every build.
#include <gtest/gtest.h>

#include "app/wav_header.h"
#include "support/guarded_buffer.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

TEST(GuardPage, WaveHeaderChecksStayInsideEveryTruncation) {
  auto wav = makeWav(makeSignal(Signal::Music, 10, 2), 2);
  // An 18-byte format chunk as well, and one that points the data tag at the very end.
  auto farTag = wav;
  farTag[16] = static_cast<uint8_t>(wav.size() - 20 - 4);
  for (const auto& file : {wav, farTag}) {
    for (size_t length = 0; length <= file.size(); ++length) {
      const GuardedBuffer buffer({file.begin(), file.begin() + static_cast<long>(length)});
      WaveInfo info{};
      checkWaveHeader(buffer.data(), buffer.size(), info);
    }
  }
}

TEST(GuardPage, AnalysisAndEncodingReadOnlyTheSamples) {
  const auto samples = makeSignal(Signal::Square, 3000, 3);
  const GuardedBuffer input(sampleBytes(samples));
  const SampleRange range{input.data(), input.data() + input.size()};
  auto model = std::make_unique<EncoderModel>();
  model->initialize(3);
  model->histogramDeltas(range);
  model->analyzeHistogram(3000);
  model->resetContextStatistics();
  model->gatherContextStatistics(range);
  uint64_t total = 0, run = 0, lossless = 0, selected = 0;
  model->generateHuffmanCodes(total);
  model->refineBins(9, run, lossless, selected);
  capture([&](BitWriter& writer) {
    model->writeHeader(writer, 8000);
    model->encodeSamples(writer, range);  // runs reach the last frame and look no further
  });
}

TEST(GuardPage, DecodingStaysInsideTheFile) {
  const auto file = compressSamples(makeSignal(Signal::Music, 300, 2), 2, 4);
  for (size_t length = 2190; length <= file.size(); ++length) {
    auto cut = std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(length));
    if (length >= 2200) {
      // Keep the data size consistent with the cut, so decoding starts and the bits run out.
      const uint32_t dataSize = static_cast<uint32_t>((length - 2200) / 4 * 4);
      for (int i = 0; i < 4; ++i) cut[2196 + i] = static_cast<uint8_t>(dataSize >> (8 * i));
    }
    const GuardedBuffer buffer(cut);
    QxwHeader header{};
    if (parseQxwHeader(buffer.data(), buffer.size(), header) != QxwHeaderStatus::Accepted) continue;
    const auto status = decodeSamples(header, buffer.data() + 2200, [](const uint8_t*, size_t) {});
    EXPECT_EQ(status == DecodeStatus::Complete, length == file.size()) << length;
  }
}

}  // namespace
}  // namespace qxw
