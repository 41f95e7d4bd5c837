// Runs the real qxw2wav, on files the real wav2qxw writes.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kEncoder = WAV2QXW_PATH;
const std::string kDecoder = QXW2WAV_PATH;

class DecoderRun : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<uint8_t> wav = makeWav(makeSignal(Signal::Music, 5000, 2), 2, 32000);

  void SetUp() override {
    writeFile(dir.path("song.wav"), wav);
    RunOptions options;
    options.workingDir = dir.dir();
    ASSERT_EQ(runProgram(kEncoder, {"/Q9", "song", "song.qxw"}, options).err, "");
  }
  ProgramResult decode(const std::vector<std::string>& args, RunOptions options = {}) {
    options.workingDir = dir.dir();
    return runProgram(kDecoder, args, options);
  }
};

TEST_F(DecoderRun, RestoresTheOriginalWaveFile) {
  const auto result = decode({"song", "back"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Examining QXW file header of song.qxw\nDecoding and writing sound data\nDone.\n");
  EXPECT_EQ(readFile(dir.path("back.wav")), wav);
}

TEST_F(DecoderRun, TestsAFileWithoutWritingAnything) {
  const auto result = decode({"/T", "song.qxw"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Examining QXW file header of song.qxw\nTesting sound data\nFile song.qxw is intact\n");
  EXPECT_EQ(readFile(dir.path("song.wav")), wav);
}

TEST_F(DecoderRun, PrintsUsageAndExitsOne) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"/T"}, {"a", "b", "c"}}) {
    const auto result = decode(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("Format: " + kDecoder + " [ /T ] [ /F ] infile [ outfile ]\n", 0), 0u);
  }
}

TEST_F(DecoderRun, ReportsEachFailureOnOneLineWithStatusTwo) {
  auto expectFailure = [&](const std::vector<std::string>& args, const std::string& message) {
    const auto result = decode(args);
    EXPECT_EQ(result.status, 2) << message;
    EXPECT_EQ(result.err, message + "\n");
  };
  expectFailure({"missing"}, "Error openning missing.qxw");
  expectFailure({"song.wav", "x.wav"}, "Not valid QXW file");

  auto qxw = readFile(dir.path("song.qxw"));
  auto badHeader = qxw;
  badHeader[12] = 9;
  writeFile(dir.path("header.qxw"), badHeader);
  expectFailure({"header"}, "Invalid QXW file header");

  auto cut = qxw;
  cut.resize(cut.size() - 8);
  writeFile(dir.path("cut.qxw"), cut);
  expectFailure({"cut"}, "Error: file cut.qxw incomplete or truncated");

  auto corrupt = qxw;
  corrupt[2196] = static_cast<uint8_t>(corrupt[2196] - 4);
  corrupt.resize(corrupt.size() - 4);
  writeFile(dir.path("corrupt.qxw"), corrupt);
  expectFailure({"corrupt"}, "Corrupt QXW data");
  EXPECT_FALSE(fileExists(dir.path("corrupt.wav")));
  expectFailure({"/t", "corrupt"}, "Corrupt QXW data");

  expectFailure({"song.qxw", "song.qxw"}, "Error: output file song.qxw is the input file");
  expectFailure({"song.qxw", "nowhere/x.wav"}, "Error creating nowhere/x.wav");
  EXPECT_EQ(readFile(dir.path("song.wav")), wav);
}

TEST_F(DecoderRun, RemovesAnOutputThatCouldNotBeWrittenWhole) {
  RunOptions limited;
  limited.fileSizeLimit = 1000;
  const auto result = decode({"song.qxw", "out.wav"}, limited);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error writing out.wav\n");
  EXPECT_FALSE(fileExists(dir.path("out.wav")));
}

}  // namespace
}  // namespace qxw
