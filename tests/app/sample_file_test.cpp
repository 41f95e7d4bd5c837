// The shipped sample, compressed by the real program: any change to the output bytes, by an
// optimisation or otherwise, shows here first.
#include <gtest/gtest.h>

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
  const struct {
    const char* quality;
    size_t size;
    uint64_t hash;
  } expected[] = {{"/Q0", 57524, 0xeca5367d39aa1529u},
                  {"/Q3", 62612, 0x4a1091eb9dd7c58au},
                  {"/Q5", 72380, 0xf5f845f7092cb262u},
                  {"/Q9", 106720, 0xe8750a249f22d933u}};
  TempDir dir;
  const auto report = runProgram(WAV2QXW_PATH, {SAMPLE_WAV_PATH, dir.path("out.qxw")});
  EXPECT_NE(report.out.find("Smallest Q0 estimated bytes: 56837 (3.10:1 compression)\n"
                            "Lossless Q9 estimated bytes: 106738 (1.65:1 compression)\n"
                            "Selected Q3 estimated bytes: 62188 (2.84:1 compression)\n"),
            std::string::npos)
      << report.out;
  for (const auto& e : expected) {
    const auto result = runProgram(WAV2QXW_PATH, {e.quality, SAMPLE_WAV_PATH, dir.path("out.qxw")});
    ASSERT_EQ(result.err, "");
    const auto qxw = readFile(dir.path("out.qxw"));
    EXPECT_EQ(qxw.size(), e.size) << e.quality;
    EXPECT_EQ(fnv1a(qxw), e.hash) << e.quality;
  }
  // And quality 9 decodes back to the sample itself.
  ASSERT_EQ(runProgram(QXW2WAV_PATH, {dir.path("out.qxw"), dir.path("back.wav")}).err, "");
  EXPECT_EQ(readFile(dir.path("back.wav")), readFile(SAMPLE_WAV_PATH));
}

}  // namespace
}  // namespace qxw
