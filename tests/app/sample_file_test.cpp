// The shipped sample, compressed by the real program: any change to the output bytes, by an
// optimisation or otherwise, shows here first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (uint8_t b : bytes) hash = (hash ^ b) * 0x100000001b3u;
  return hash;
}

TEST(SampleFile, CompressesToTheSameBytesAsAlways) {
  // The levels, a size target, and size targets searched at each effort.
  const struct {
    std::vector<std::string> options;
    size_t size;
    uint64_t hash;
  } expected[] = {
      {{"/Q0"}, 57524, 0xeca5367d39aa1529u},        {{"/Q3"}, 62612, 0x4a1091eb9dd7c58au},
      {{"/Q5"}, 72380, 0xf5f845f7092cb262u},        {{"/Q9"}, 106720, 0xe8750a249f22d933u},
      {{"/B4"}, 44028, 0x0f177e11289e1cb6u},        {{"/X1", "/B4"}, 44132, 0xc945b3b95369aa9fu},
      {{"/X2", "/B3"}, 33140, 0x4b53e39de29d0dbbu}, {{"/X3", "/B6"}, 66076, 0xca3553146ba671a8u},
  };
  TempDir dir;
  const auto report = runProgram(WAV2QXW_PATH, {SAMPLE_WAV_PATH, dir.path("out.qxw")});
  EXPECT_NE(report.out.find("Smallest Q0 estimated bytes: 56837 (3.10:1 compression)\n"
                            "Lossless Q9 estimated bytes: 106738 (1.65:1 compression)\n"
                            "Selected Q3 estimated bytes: 62188 (2.84:1 compression)\n"),
            std::string::npos)
      << report.out;
  for (const auto& e : expected) {
    std::vector<std::string> args = e.options;
    args.insert(args.end(), {SAMPLE_WAV_PATH, dir.path("out.qxw")});
    const auto result = runProgram(WAV2QXW_PATH, args);
    ASSERT_EQ(result.err, "");
    const auto qxw = readFile(dir.path("out.qxw"));
    EXPECT_EQ(qxw.size(), e.size) << e.options.back();
    EXPECT_EQ(fnv1a(qxw), e.hash) << e.options.back();
  }
  // And quality 9 decodes back to the sample itself.
  ASSERT_EQ(runProgram(WAV2QXW_PATH, {"/Q9", SAMPLE_WAV_PATH, dir.path("out.qxw")}).err, "");
  ASSERT_EQ(runProgram(QXW2WAV_PATH, {dir.path("out.qxw"), dir.path("back.wav")}).err, "");
  EXPECT_EQ(readFile(dir.path("back.wav")), readFile(SAMPLE_WAV_PATH));
}

}  // namespace
}  // namespace qxw
