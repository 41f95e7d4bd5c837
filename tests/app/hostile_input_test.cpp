// Hostile and degenerate files through the real programs.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kEncoder = WAV2QXW_PATH;
const std::string kDecoder = QXW2WAV_PATH;

class HostileInput : public ::testing::Test {
 protected:
  TempDir dir;
  ProgramResult run(const std::string& program, const std::vector<std::string>& args) {
    RunOptions options;
    options.workingDir = dir.dir();
    return runProgram(program, args, options);
  }
};

TEST_F(HostileInput, EveryTruncatedHeaderIsRefusedWithoutOutput) {
  const auto wav = makeWav(makeSignal(Signal::Music, 4, 1), 1);
  for (size_t length = 0; length < 44; ++length) {
    writeFile(dir.path("cut.wav"), {wav.begin(), wav.begin() + static_cast<long>(length)});
    const auto result = run(kEncoder, {"cut.wav"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              length < 36 ? "Not valid Wave file\n" : "Error parsing Wave file data chunk\n")
        << length;
    EXPECT_FALSE(fileExists(dir.path("cut.qxw")));
  }
}

TEST_F(HostileInput, RefusesUnreadableFilesAndOutputDirectories) {
#ifdef _WIN32
  GTEST_SKIP() << "file modes: Windows locks files with access lists, which the tests cannot set";
#else
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  writeFile(dir.path("locked.wav"), makeWav(makeSignal(Signal::Music, 100, 1), 1));
  ::chmod(dir.path("locked.wav").c_str(), 0);
  EXPECT_EQ(run(kEncoder, {"locked.wav"}).err, "Error openning locked.wav\n");

  writeFile(dir.path("song.wav"), makeWav(makeSignal(Signal::Music, 100, 1), 1));
  ::mkdir(dir.path("readonly").c_str(), 0500);
  EXPECT_EQ(run(kEncoder, {"song.wav", "readonly/"}).err, "Error creating readonly/song.qxw\n");
#endif
}

// A rate no player can use is refused by both programs, in a WAV file or a QXW file, from a
// name or from standard input, with a line that says why; nothing is written.
TEST_F(HostileInput, RefusesARateNoPlayerCanUse) {
  const auto samples = makeSignal(Signal::Music, 1000, 2);
  ASSERT_EQ((writeFile(dir.path("good.wav"), makeWav(samples, 2)),
             run(kEncoder, {"good.wav", "good.qxw"}).status),
            0);
  const auto good = readFile(dir.path("good.qxw"));
  for (uint32_t rate : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    auto wav = makeWav(samples, 2);
    auto qxw = good;
    for (int i = 0; i < 4; ++i) {
      wav[24 + i] = qxw[16 + i] = static_cast<uint8_t>(rate >> (8 * i));
      wav[28 + i] = static_cast<uint8_t>((rate * 4) >> (8 * i));  // the byte rate, as it wraps
    }
    writeFile(dir.path("odd.wav"), wav);
    writeFile(dir.path("odd.qxw"), qxw);
    const std::string why =
        " has a sample rate of " + std::to_string(rate) + " Hz, which no player can use\n";
    auto result = run(kEncoder, {"odd.wav", "out.qxw"});
    EXPECT_EQ(result.status, 2) << rate;
    EXPECT_EQ(result.err, "Error: odd.wav" + why);
    EXPECT_FALSE(fileExists(dir.path("out.qxw")));
    RunOptions piped;
    piped.workingDir = dir.dir();
    piped.standardInput = dir.path("odd.wav");
    EXPECT_EQ(runProgram(kEncoder, {"-", "out.qxw"}, piped).err, "Error: standard input" + why);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/T", "odd.qxw"}, {"odd.qxw", "out.wav"}}) {
      result = run(kDecoder, args);
      EXPECT_EQ(result.status, 2) << rate;
      EXPECT_EQ(result.err, "Error: odd.qxw" + why);
    }
    EXPECT_FALSE(fileExists(dir.path("out.wav")));
    piped.standardInput = dir.path("odd.qxw");
    EXPECT_EQ(runProgram(kDecoder, {"/T", "-"}, piped).err, "Error: standard input" + why);
  }
}

TEST_F(HostileInput, DegenerateSoundsRoundTripAtEveryQuality) {
  for (Signal kind : {Signal::Silence, Signal::Single, Signal::Extremes, Signal::Empty}) {
    const auto samples = makeSignal(kind, 2000, 2);
    writeFile(dir.path("in.wav"), makeWav(samples, 2));
    for (int quality = 0; quality <= 9; ++quality) {
      const std::string q = "/Q" + std::to_string(quality);
      ASSERT_EQ(run(kEncoder, {q, "in.wav", "mid.qxw"}).err, "") << signalName(kind) << q;
      ASSERT_EQ(run(kDecoder, {"/F", "mid.qxw", "out.wav"}).err, "") << signalName(kind) << q;
      const auto out = readFile(dir.path("out.wav"));
      ASSERT_EQ(out.size(), 44 + samples.size() * 2);
      if (quality == 9 || kind != Signal::Extremes) {
        EXPECT_EQ(out, readFile(dir.path("in.wav"))) << signalName(kind) << q;
      }
    }
  }
}

}  // namespace
}  // namespace qxw
