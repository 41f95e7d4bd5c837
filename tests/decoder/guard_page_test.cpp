// Inputs placed so that they end right before an unreadable page: a read of even one byte past
// the end faults at once, in every build.
#include <gtest/gtest.h>

#include "library/compressor.h"
#include "support/guarded_buffer.h"
#include "support/pipeline.h"
#include "support/signals.h"
#include "support/wav_files.h"
#include "support/whole_passes.h"

namespace qxw {
namespace {

using namespace qxw::testing;

TEST(GuardPage, AnalysisAndEncodingReadOnlyTheSamples) {
  const auto samples = makeSignal(Signal::Square, 3000, 3);
  const GuardedBuffer input(sampleBytes(samples));
  const SampleRange range{input.data(), input.data() + input.size()};
  struct Discard : CompressionListener {
    OutputStream stream;
    OutputStream* output() override { return &stream; }
  } listener;
  listener.stream.createInMemory();
  // Runs reach the last frame and look no further.
  EXPECT_EQ(compress(range, SoundFormat{3000, 3, 8000}, 9, listener), Status::Ok);
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
    if (parseQxwHeader(buffer.data(), buffer.size(), header) != Status::Ok) continue;
    const auto status = decodeSamples(header, buffer.data() + 2200, [](const uint8_t*, size_t) {});
    EXPECT_EQ(status == Status::Ok, length == file.size()) << length;
  }
}

}  // namespace
}  // namespace qxw
