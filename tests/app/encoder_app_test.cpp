// Runs the real wav2qxw on files the tests write.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "qxw/qxw.h"
#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kProgram = WAV2QXW_PATH;
#ifdef _WIN32
const char* const kNullDevice = "NUL";
#else
const char* const kNullDevice = "/dev/null";
#endif
const uint8_t kMagic[8] = {0x54, 0x52, 0x55, 0x56, 0x00, 0x1A, 0xFF, 0xFE};

std::vector<int16_t> tone(size_t frames, uint32_t channels) {
  std::vector<int16_t> samples;
  for (size_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < channels; ++c) {
      samples.push_back(static_cast<int16_t>(8000 * std::sin(0.05 * static_cast<double>(i) + c)));
    }
  }
  return samples;
}

void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string usageFor(const std::string& program) {
  return "Format: " + program + " [ /Q# ] infile [ outfile ]\n" +
         "Where # is the quality level, between 0 and 9.\n";
}

class EncoderRun : public ::testing::Test {
 protected:
  TempDir dir;
  ProgramResult run(const std::vector<std::string>& args, RunOptions options = {}) {
    if (options.workingDir.empty()) options.workingDir = dir.dir();
    return runProgram(kProgram, args, options);
  }
};

TEST_F(EncoderRun, PrintsUsageAndExitsOneOnWrongArguments) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"/Q5"}, {"a", "b", "c"}, {"/q1", "a", "b", "c"}, {"/Q", "song", "out"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, usageFor(kProgram));
    EXPECT_EQ(result.err, "");
  }
  EXPECT_FALSE(fileExists(dir.path("out.qxw")));
  // Help is the usage message and then the rest of the options.
  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(usageFor(kProgram), 0), 0u);
  EXPECT_NE(help.out.find("/B#"), std::string::npos);
}

TEST_F(EncoderRun, ReportsAMissingInputAfterTheExaminingLine) {
  const auto result = run({"missing"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Examining Wave format header of missing.wav\n");
  EXPECT_EQ(result.err, "Error openning missing.wav\n");
  EXPECT_EQ(result.console, result.out + result.err);
  EXPECT_FALSE(fileExists(dir.path("missing.qxw")));
}

TEST_F(EncoderRun, RefusesInputsThatAreNotRegularFiles) {
  makeFolder(dir.path("folder.wav"));
  EXPECT_EQ(run({"folder.wav"}).err, "Error openning folder.wav\n");
  EXPECT_EQ(run({"NUL"}).err, "Error openning NUL.wav\n");
#ifndef _WIN32
  ::mkfifo(dir.path("pipe.wav").c_str(), 0600);
  EXPECT_EQ(run({"pipe.wav"}).err, "Error openning pipe.wav\n");
#endif
}

TEST_F(EncoderRun, RejectsBadHeadersWithoutCreatingOutput) {
  writeFile(dir.path("empty.wav"), {});
  auto result = run({"empty.wav"});
  EXPECT_EQ(result.err, "Not valid Wave file\n");
  EXPECT_EQ(result.status, 2);

  auto truncated = makeWav(tone(100, 1), 1);
  truncated.resize(truncated.size() - 2);
  writeFile(dir.path("truncated.wav"), truncated);
  result = run({"truncated.wav"});
  EXPECT_EQ(result.err, "Error: file truncated.wav incomplete or truncated\n");

  for (uint32_t riffSize : {0u, 0xFFFFFFFFu}) {
    auto wav = makeWav(tone(100, 1), 1);
    set32(wav, 4, riffSize);
    writeFile(dir.path("riff.wav"), wav);
    EXPECT_EQ(run({"riff.wav"}).err, "Error: file riff.wav incomplete or truncated\n");
  }

  // A data size whose byte count would wrap 32 bits is still beyond the file.
  auto huge = makeWav(tone(100, 2), 2);
  set32(huge, 40, 0xFFFFFFFC);
  writeFile(dir.path("huge.wav"), huge);
  EXPECT_EQ(run({"huge.wav"}).err, "Error: file huge.wav incomplete or truncated\n");

#ifndef _WIN32  // a sparse file of 4 GiB
  // A "fmt " size near 2^32 puts the samples past 4 GiB, beyond any size a RIFF header can
  // declare; a sparse file makes such a header real. Offsets that wrapped at 32 bits would
  // point back into the header instead.
  {
    const uint64_t dataTag = 20 + uint64_t{0xFFFFFFF0};
    auto wav = makeWav(tone(2, 1), 1);
    set32(wav, 4, 0xFFFFFFF0);
    set32(wav, 16, 0xFFFFFFF0);
    writeFile(dir.path("far.wav"), {wav.begin(), wav.begin() + 36});
    const std::vector<uint8_t> tail = {'d', 'a', 't', 'a', 4, 0, 0, 0, 1, 0, 2, 0};
    const int fd = ::open(dir.path("far.wav").c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(dataTag)),
              static_cast<ssize_t>(tail.size()));
    ::close(fd);
    const auto result = run({"far.wav"});
    EXPECT_EQ(result.err, "Error: file far.wav incomplete or truncated\n");
    // The header is checked before any of the 4 GiB is read in.
    EXPECT_LT(result.peakKilobytes, 256 << 10);
    ::unlink(dir.path("far.wav").c_str());
  }

#endif
  for (const char* name : {"empty", "truncated", "riff", "huge", "far"}) {
    EXPECT_FALSE(fileExists(dir.path(std::string(name) + ".qxw"))) << name;
  }
}

TEST_F(EncoderRun, PrintsTheWholeReportInOrderOnSuccess) {
  writeFile(dir.path("song.wav"), makeWav(tone(2000, 2), 2));
  const auto result = run({"/Q5", "song"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> expected = {"Examining Wave format header of song.wav",
                                             "Histogramming deltas",
                                             "Analyzing histogram",
                                             "Gathering Huffman data",
                                             "Generating Huffman codes",
                                             "Smallest Q0 estimated bytes: ",
                                             "Lossless Q9 estimated bytes: ",
                                             "Selected Q5 estimated bytes: ",
                                             "Writing QXW file header to file song.qxw",
                                             "Encoding and writing sound data",
                                             "Done."};
  size_t at = 0;
  for (const auto& line : expected) {
    ASSERT_EQ(result.out.compare(at, line.size(), line), 0) << result.out;
    at = result.out.find('\n', at) + 1;
  }
  EXPECT_EQ(at, result.out.size());
  const auto qxw = readFile(dir.path("song.qxw"));
  ASSERT_GE(qxw.size(), 2200u);
  EXPECT_EQ(get32(qxw, 2196), qxw.size() - 2200);
}

TEST_F(EncoderRun, EstimatesTheSizeOfSilence) {
  // 100 zero samples: two run-count estimates of 7 bits (the longest run is 100) and one
  // 6-bit symbol in an otherwise empty context make 20 bits, so 2 bytes over the header;
  // the declared size is 244.
  writeFile(dir.path("quiet.wav"), makeWav(std::vector<int16_t>(100, 0), 1));
  const auto result = run({"/Q4", "quiet"});
  EXPECT_NE(result.out.find("Smallest Q0 estimated bytes: 2202 (0.11:1 compression)\n"
                            "Lossless Q9 estimated bytes: 2202 (0.11:1 compression)\n"
                            "Selected Q4 estimated bytes: 2202 (0.11:1 compression)\n"),
            std::string::npos)
      << result.out;
}

TEST_F(EncoderRun, ReplacesOnlyAnOlderQxwFileOrAnEmptyFile) {
  writeFile(dir.path("song.wav"), makeWav(tone(50, 1), 1));
  std::vector<uint8_t> older(1 << 20, 0x55);
  std::copy(std::begin(kMagic), std::end(kMagic), older.begin());
  writeFile(dir.path("song.qxw"), older);
  EXPECT_EQ(run({"song"}).status, 0);
  const auto qxw = readFile(dir.path("song.qxw"));
  EXPECT_EQ(get32(qxw, 2196), qxw.size() - 2200);

  writeFile(dir.path("empty.qxw"), {});
  EXPECT_EQ(run({"song", "empty"}).status, 0);
  EXPECT_EQ(readFile(dir.path("empty.qxw")), qxw);

#ifndef _WIN32  // a name is where the file goes on Windows
  // Through a symbolic link the link's target is replaced and the link stays.
  ::mkdir(dir.path("store").c_str(), 0700);
  writeFile(dir.path("store/real.qxw"), older);
  ::symlink("store/real.qxw", dir.path("linked.qxw").c_str());
  EXPECT_EQ(run({"song", "linked"}).status, 0);
  EXPECT_EQ(readFile(dir.path("store/real.qxw")), qxw);
  struct stat link {};
  EXPECT_TRUE(::lstat(dir.path("linked.qxw").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
#endif

  // "wav2qxw *.wav" with a.wav and b.wav: b.wav is the outfile and must survive.
  const auto other = makeWav(tone(80, 2), 2);
  for (const char* name : {"b.wav", "short.qxw"}) {
    const auto before = std::string(name) == "b.wav" ? other : std::vector<uint8_t>{0x54, 0x52};
    writeFile(dir.path(name), before);
    const auto result = run({"song.wav", name});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              "Error: output file " + std::string(name) + " exists and is not a QXW file\n");
    EXPECT_EQ(readFile(dir.path(name)), before);
  }
}

TEST_F(EncoderRun, NeverWritesOverItsInput) {
  const auto wav = makeWav(tone(300, 1), 1);
  writeFile(dir.path("song.wav"), wav);
  auto result = run({"song.wav", "song.wav"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: output file song.wav is the input file\n");
#ifndef _WIN32  // symbolic links need a privilege on Windows
  ::symlink("song.wav", dir.path("alias.qxw").c_str());
  result = run({"song.wav", "alias.qxw"});
  EXPECT_EQ(result.err, "Error: output file alias.qxw is the input file\n");
#endif
  std::filesystem::create_hard_link(dir.path("song.wav"), dir.path("hard.qxw"));
  result = run({"song.wav", "hard.qxw"});
  EXPECT_EQ(result.err, "Error: output file hard.qxw is the input file\n");
  EXPECT_EQ(readFile(dir.path("song.wav")), wav);
}

TEST_F(EncoderRun, ReportsAnOutputThatCannotBeCreated) {
  writeFile(dir.path("song.wav"), makeWav(tone(300, 1), 1));
  const auto result = run({"song.wav", "nowhere/out.qxw"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error creating nowhere/out.qxw\n");
  EXPECT_EQ(result.console.find("Encoding"), std::string::npos);
}

TEST_F(EncoderRun, RemovesAnOutputThatCouldNotBeWrittenWhole) {
  QXW_POSIX_ONLY("a limit on the size of a written file");
#ifndef _WIN32
  writeFile(dir.path("song.wav"), makeWav(tone(20000, 2), 2));
  RunOptions limited;
  limited.fileSizeLimit = 4096;
  const auto result = run({"song.wav", "song.qxw"}, limited);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error writing song.qxw\n");
  EXPECT_FALSE(fileExists(dir.path("song.qxw")));
  EXPECT_TRUE(fileExists(dir.path("song.wav")));
#endif
}

TEST_F(EncoderRun, ReportsAFullDeviceWithoutRemovingIt) {
  QXW_POSIX_ONLY("a device that is always full");
#ifndef _WIN32
  writeFile(dir.path("song.wav"), makeWav(tone(300, 1), 1));
  // Output names always get an extension, so the device is reached through a link.
  ::symlink("/dev/full", dir.path("full.qxw").c_str());
  const auto result = run({"song.wav", "full.qxw"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error writing full.qxw\n");
  EXPECT_TRUE(fileExists("/dev/full"));
  EXPECT_TRUE(fileExists(dir.path("full.qxw")));
#endif
}

TEST_F(EncoderRun, WritesAHeaderOnlyFileForZeroFrames) {
  writeFile(dir.path("none.wav"), makeWav({}, 3));
  EXPECT_EQ(run({"/Q9", "none.wav"}).err, "");
  const auto qxw = readFile(dir.path("none.qxw"));
  ASSERT_EQ(qxw.size(), 2200u);
  EXPECT_EQ(get32(qxw, 2196), 0u);
  EXPECT_EQ(get32(qxw, 12), 3u);
}

// /V reads the written file back and decodes it before it takes its name.
TEST_F(EncoderRun, VerifiesTheWrittenFile) {
  writeFile(dir.path("song.wav"), makeWav(tone(20000, 2), 2));
  auto result = run({"/Q2", "/V", "song.wav"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Encoding and writing sound data\nDone.\nVerifying song.qxw\n"),
            std::string::npos)
      << result.out;
#ifndef _WIN32  // standard output has no name on Windows
  result = run({"/V", "/Q2", "song.wav", "/dev/stdout"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(std::vector<uint8_t>(result.out.begin(), result.out.end()),
            readFile(dir.path("song.qxw")));
#endif
  // A device or a pipe gives nothing back to read: the bytes are checked in memory before they
  // go out, and the line says so.
  result = run({"/V", "song.wav", kNullDevice});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Verifying " + std::string(kNullDevice) +
                            " from memory: it cannot be read back\n"),
            std::string::npos);
  RunOptions pipe;
  pipe.outputPipe = true;
  for (const char* mode : {"/Q2", "/Q9", "/B3"}) {
    result = run({"/V", mode, "song.wav", "-"}, pipe);
    EXPECT_EQ(result.status, 0) << mode << result.err;
    EXPECT_NE(result.err.find("Verifying standard output from memory"), std::string::npos);
    EXPECT_EQ(result.err.find("failed"), std::string::npos);
  }
}

// /B ends with the size it reached and the quality the reader will hear, both exact.
TEST_F(EncoderRun, ReportsTheSizeAndQualityOfATargetedFile) {
  writeFile(dir.path("song.wav"), makeWav(tone(40000, 2), 2));
  const auto result = run({"/B4", "/V", "song.wav"});
  ASSERT_EQ(result.status, 0) << result.err;
  const size_t bytes = readFile(dir.path("song.qxw")).size();
  const auto compared =
      runProgram(QXW2WAV_PATH, {"/C", dir.path("song.qxw"), dir.path("song.wav")});
  const std::string ratio = compared.out.substr(compared.out.find("noise: ") + 7);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "Written %zu bytes: %.2f bits per sample, signal to noise %s", bytes,
                8.0 * static_cast<double>(bytes) / 80000, ratio.c_str());
  EXPECT_EQ(result.out.substr(result.out.find("Done.\nVerifying song.qxw\n") + 25), expected);
  EXPECT_EQ(result.out.find("estimated"), std::string::npos);
}

// /X writes the library's searched bytes, and qxw2wav gives back what the library decodes: the
// search's reconstruction, sample for sample.
TEST_F(EncoderRun, SearchedFilesAreTheLibrarysAndDecodeToTheirReconstruction) {
  const auto input = makeSignal(Signal::Music, 60000, 2);
  writeFile(dir.path("song.wav"), makeWav(input, 2));
  const qxw_format format{60000, 2, 44100};
  for (int effort : {1, 3}) {
    const std::string digit(1, static_cast<char>('0' + effort));
    const std::string option = "/X" + digit;
    const std::string name = "x" + digit;
    ASSERT_EQ(run({option, "/B3.5", "/V", "song.wav", name + ".qxw"}).status, 0) << option;
    const auto file = readFile(dir.path(name + ".qxw"));
    void* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(qxw_encode_search(input.data(), &format, 3.5, effort, 1, &data, &size), QXW_OK);
    EXPECT_EQ(file, std::vector<uint8_t>(static_cast<uint8_t*>(data),
                                         static_cast<uint8_t*>(data) + size));
    qxw_free(data);
    std::vector<int16_t> decoded(input.size());
    ASSERT_EQ(qxw_decode(file.data(), file.size(), decoded.data(), decoded.size()), QXW_OK);
    ASSERT_EQ(runProgram(QXW2WAV_PATH, {dir.path(name + ".qxw"), dir.path(name + ".wav")}).status,
              0);
    EXPECT_EQ(readFile(dir.path(name + ".wav")), makeWav(decoded, 2)) << option;
  }
}

// Through pipes the bytes are those of the files: the file waits in memory until its size is
// patched, then goes out whole.
TEST_F(EncoderRun, PipesGiveTheBytesOfTheFiles) {
  writeFile(dir.path("song.wav"), makeWav(tone(30000, 2), 2));
  ASSERT_EQ(run({"/Q2", "song.wav"}).status, 0);
  const auto expected = readFile(dir.path("song.qxw"));
  const std::string asText(expected.begin(), expected.end());
  RunOptions piped;
  piped.outputPipe = true;
  piped.standardInput = dir.path("song.wav");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"/Q2", "-", "-"}, {"/Q2", "-"}, {"/Q2", "song.wav", "-"}}) {
    const auto result = run(args, piped);
    EXPECT_EQ(result.status, 0) << args[1] << result.err;
    EXPECT_EQ(result.out, asText) << args[1];
  }
  EXPECT_EQ(run({"/Q2", "-", "-"}, piped)
                .err.rfind("Examining Wave format header of standard input\n", 0),
            0u);
#ifndef _WIN32  // no terminal of its own for a program, nor FIFOs, on Windows
  RunOptions terminal;
  terminal.terminal = true;
  EXPECT_EQ(run({"-", "x.qxw"}, terminal).err, "Error: standard input is a terminal\n");
  // A FIFO as outfile gets a complete file too. One run only: a second writer could open the FIFO
  // while the first reader is still closing it, and lose its bytes with that reader.
  ASSERT_EQ(::mkfifo(dir.path("fifo.qxw").c_str(), 0600), 0);
  std::vector<uint8_t> received;
  std::thread reader([&] { received = readFile(dir.path("fifo.qxw")); });
  const int pid = startProgram(kProgram, {"/Q2", "song.wav", "fifo.qxw"}, dir.dir());
  const int status = waitForProgram(pid);
  reader.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(received, expected);
#endif
}

// Several inputs into a folder, as cp takes them: each its own run, a failure reported and the
// rest done; outputs that would collide are refused before anything is written.
TEST_F(EncoderRun, EncodesAndDecodesSeveralFilesIntoAFolder) {
  for (const char* folder : {"sub", "out", "back"}) makeFolder(dir.path(folder));
  const auto a = makeWav(tone(3000, 2), 2), b = makeWav(tone(2000, 1), 1);
  writeFile(dir.path("a.wav"), a);
  writeFile(dir.path("sub/b.wav"), b);
  auto result = run({"/Q9", "a", "missing.wav", "sub/b.wav", "out"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "missing.wav: Error openning missing.wav\n1 of 3 files failed\n");
  EXPECT_TRUE(fileExists(dir.path("out/a.qxw")));
  EXPECT_TRUE(fileExists(dir.path("out/b.qxw")));
  RunOptions here;
  here.workingDir = dir.dir();
  result = runProgram(QXW2WAV_PATH, {"out/a.qxw", "out/b", "back/"}, here);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir.path("back/a.wav")), a);
  EXPECT_EQ(readFile(dir.path("back/b.wav")), b);

  writeFile(dir.path("sub/a.wav"), b);
  result = run({"a.wav", "sub/a.wav", "sub"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: a.wav and sub/a.wav would both write sub/a.qxw\n");
  EXPECT_FALSE(fileExists(dir.path("sub/a.qxw")));
  EXPECT_EQ(run({"a.wav", "sub/b.wav", "nowhere"}).status, 1);
}

// Outputs are compared by the files they reach, links followed, against each other and against
// every input, with standard input named as it is written; nothing is written on a refusal.
TEST_F(EncoderRun, RefusesBatchesWhoseOutputsMeetByAnyName) {
  QXW_POSIX_ONLY("symbolic links, which need a privilege on Windows");
#ifndef _WIN32
  const auto a = makeWav(tone(3000, 1), 1), b = makeWav(tone(2000, 1), 1);
  writeFile(dir.path("a.wav"), a);
  writeFile(dir.path("b.wav"), b);
  writeFile(dir.path("standard input.wav"), b);
  ::mkdir(dir.path("o3").c_str(), 0700);
  ::mkdir(dir.path("out").c_str(), 0700);
  ::mkdir(dir.path("back").c_str(), 0700);
  ASSERT_EQ(run({"a.wav", "a.qxw"}).status, 0);
  ASSERT_EQ(run({"b.wav", "b.qxw"}).status, 0);
  const auto bQxw = readFile(dir.path("b.qxw"));
  ::symlink("a.qxw", dir.path("out/b.qxw").c_str());
  ::symlink("../b.qxw", dir.path("back/a.wav").c_str());
  RunOptions piped;
  piped.standardInput = dir.path("a.wav");
  const struct {
    const std::string& program;
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {kProgram,
       {"standard input.wav", "-", "o3/"},
       "Error: standard input.wav and - would both write o3/standard input.qxw\n"},
      {kProgram, {"-", "-", "o3/"}, "Error: - and - would both write o3/standard input.qxw\n"},
      {kProgram,
       {"a.wav", "b.wav", "out/"},
       "Error: a.wav and b.wav would both write out/a.qxw (as out/b.qxw)\n"},
      {QXW2WAV_PATH,
       {"/F", "a.qxw", "b.qxw", "back/"},
       "Error: a.qxw would write back/a.wav, which is the input file b.qxw\n"},
  };
  for (const auto& c : cases) {
    RunOptions options = piped;
    options.workingDir = dir.dir();
    const auto result = runProgram(c.program, c.args, options);
    EXPECT_EQ(result.status, 2) << c.args[0];
    EXPECT_EQ(result.err, c.error);
  }
  EXPECT_FALSE(fileExists(dir.path("o3/standard input.qxw")));
  EXPECT_FALSE(fileExists(dir.path("out/a.qxw")));
  EXPECT_EQ(readFile(dir.path("b.qxw")), bQxw);
#endif
}

// Standard output under any name takes the file, the lines go to standard error, and a terminal
// is refused.
TEST_F(EncoderRun, WritesToStandardOutputUnderAnyName) {
  QXW_POSIX_ONLY("names for standard output (/dev/stdout), and a terminal of its own");
#ifndef _WIN32
  writeFile(dir.path("song.wav"), makeWav(tone(3000, 2), 2));
  ASSERT_EQ(run({"song.wav"}).status, 0);
  const auto expected = readFile(dir.path("song.qxw"));
  for (const char* name : {"/dev/stdout", "/dev/fd/1"}) {
    const auto result = run({"song.wav", name});
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(std::vector<uint8_t>(result.out.begin(), result.out.end()), expected) << name;
    EXPECT_EQ(result.err.rfind("Examining Wave format header of song.wav\n", 0), 0u) << name;
  }
  RunOptions terminal;
  terminal.terminal = true;
  const auto result = run({"song.wav", "/dev/stdout"}, terminal);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: standard output is a terminal\n");
#endif
}

// A table whose levels cannot reach a loud square's is replaced by the next quality's.
TEST_F(EncoderRun, SaysSoWhenAQualityCannotFollowTheSound) {
  writeFile(dir.path("square.wav"), makeWav(makeSignal(Signal::LoudSquare, 20000, 1, 40), 1));
  const auto result = run({"/Q0", "square.wav"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Quality 0 cannot follow this sound; encoding again at quality 1\n"),
            std::string::npos)
      << result.out;
  // Written again over the first attempt, the file holds the second one only.
  RunOptions here;
  here.workingDir = dir.dir();
  EXPECT_EQ(runProgram(QXW2WAV_PATH, {"/T", "square.qxw"}, here).status, 0);
}

// Mapping an input takes address space; without it the run says so rather than "openning".
TEST_F(EncoderRun, ReportsAnInputTooLargeForMemory) {
  QXW_POSIX_ONLY("a limit on a process's address space");
#if defined(_WIN32)
#elif defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit";
#else
  auto wav = makeWav(tone(100, 2), 2);
  const uint32_t dataBytes = 1u << 30;
  set32(wav, 4, dataBytes + 36);
  set32(wav, 40, dataBytes);
  writeFile(dir.path("big.wav"), wav);
  ASSERT_TRUE(resizeFile(dir.path("big.wav"), 44 + uint64_t{dataBytes}));
  RunOptions limited;
  limited.memoryLimit = 512l << 20;
  const auto result = run({"big.wav"}, limited);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: out of memory\n");
  // The same declared data through standard input cannot be held either.
  limited.standardInput = dir.path("big.wav");
  const auto piped = run({"-", "out.qxw"}, limited);
  EXPECT_EQ(piped.status, 2);
  EXPECT_EQ(piped.err, "Error: out of memory\n");
  // In a batch, the file that cannot be held fails alone.
  writeFile(dir.path("small.wav"), makeWav(tone(1000, 2), 2));
  ASSERT_TRUE(makeFolder(dir.path("out")));
  limited.standardInput.clear();
  const auto batch = run({"big.wav", "small.wav", "out/"}, limited);
  EXPECT_EQ(batch.status, 2);
  EXPECT_EQ(batch.err, "big.wav: Error: out of memory\n1 of 2 files failed\n");
  EXPECT_TRUE(fileExists(dir.path("out/small.qxw")));
#endif
}

// Standard input is read only as far as its header declares. A data size that a program writing
// into a pipe could not know (a placeholder, or more than arrives) means "until the end": the
// whole frames that arrived are the sound, and the run says so. Files keep the strict check.
TEST_F(EncoderRun, ReadsStandardInputAsFarAsItsHeaderDeclares) {
  const auto wav = makeWav(tone(5000, 2), 2);
  writeFile(dir.path("song.wav"), wav);
  ASSERT_EQ(run({"song.wav", "song.qxw"}).status, 0);
  const auto expected = readFile(dir.path("song.qxw"));
  const auto withSizes = [&](uint32_t riff, uint32_t data, size_t extra) {
    auto bytes = wav;
    set32(bytes, 4, riff);
    set32(bytes, 40, data);
    bytes.resize(bytes.size() + extra, 7);
    return bytes;
  };
  const std::string unknown = "Warning: the data size was unknown; 5000 frames read\n";
  const std::string more =
      "Warning: more bytes follow the WAV data in standard input; they are not read\n";
  const struct {
    const char* what;
    std::vector<uint8_t> input;
    std::string warnings;
  } cases[] = {
      {"as declared", wav, ""},
      {"junk after", withSizes(20036, 20000, 1000), more},
      {"placeholder", withSizes(0xFFFFFFFF, 0xFFFFFFFF, 0), unknown},
      {"placeholder and half a frame", withSizes(0xFFFFFFFF, 0xFFFFFFFF, 2), unknown},
      {"sox's placeholder", withSizes(0x7FFFF000 + 36, 0x7FFFF000, 0), unknown},
      {"more declared than arrives", withSizes(60036, 60000, 0), unknown},
  };
  for (const auto& c : cases) {
    writeFile(dir.path("in.bin"), c.input);
    RunOptions piped;
    piped.standardInput = dir.path("in.bin");
    const auto result = run({"-", "out.qxw"}, piped);
    EXPECT_EQ(result.status, 0) << c.what << result.err;
    EXPECT_EQ(result.err, c.warnings) << c.what;
    EXPECT_EQ(readFile(dir.path("out.qxw")), expected) << c.what;
  }
  writeFile(dir.path("placeholder.wav"), withSizes(0xFFFFFFFF, 0xFFFFFFFF, 0));
  EXPECT_EQ(run({"placeholder.wav"}).err, "Error: file placeholder.wav incomplete or truncated\n");
}

// Nothing past the declared data is read: a small sound followed by a gigabyte is read as small.
TEST_F(EncoderRun, HoldsOnlyTheDeclaredDataOfStandardInput) {
  const auto wav = makeWav(tone(250000, 2), 2);
  writeFile(dir.path("in.bin"), wav);
  ASSERT_TRUE(resizeFile(dir.path("in.bin"), wav.size() + (uint64_t{1} << 30)));
  RunOptions piped;
  piped.standardInput = dir.path("in.bin");
  const auto result = run({"-", "out.qxw"}, piped);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("more bytes follow the WAV data"), std::string::npos);
  EXPECT_LT(result.peakKilobytes, 256 << 10);
}

// Progress nobody reads any more (| head -1) is dropped; the sound is finished and kept.
TEST_F(EncoderRun, FinishesTheFileWhenTheProgressPipeCloses) {
  writeFile(dir.path("song.wav"), makeWav(tone(30000, 2), 2));
  ASSERT_EQ(run({"song.wav", "expected.qxw"}).status, 0);
  RunOptions closed;
  closed.outputPipeClosed = true;
  const auto result = run({"song.wav", "song.qxw"}, closed);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir.path("song.qxw")), readFile(dir.path("expected.qxw")));
  RunOptions here = closed;
  here.workingDir = dir.dir();
  EXPECT_EQ(runProgram(QXW2WAV_PATH, {"song.qxw", "back.wav"}, here).status, 0);
  EXPECT_TRUE(fileExists(dir.path("back.wav")));
}

// A level or a target that saves nothing writes the sound lossless, and says so after the
// encoding line; a target below what a short sound's header costs keeps the sound.
TEST_F(EncoderRun, SaysWhenALevelOrATargetCannotBeKept) {
  std::vector<int16_t> alternating(40000);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? 32767 : -32767;
  writeFile(dir.path("alt.wav"), makeWav(alternating, 1));
  writeFile(dir.path("short.wav"), makeWav(tone(1000, 1), 1));
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"/Q3", "alt.wav", "out.qxw"},
       "Encoding and writing sound data\nQuality 3 saves nothing on this sound; writing it "
       "lossless\nDone.\n"},
      {{"/B6", "alt.wav", "out.qxw"},
       "\nThe target saves nothing on this sound; writing it lossless\n"},
      {{"/B4", "short.wav", "out.qxw"},
       "Encoding and writing sound data\nA target of 4 bits per sample cannot be met on this "
       "sound; writing the smallest file that keeps it\n"},
  };
  for (const auto& c : cases) {
    const auto result = run(c.args);
    EXPECT_EQ(result.status, 0) << c.args[0] << result.err;
    EXPECT_NE(result.out.find(c.line), std::string::npos) << c.args[0] << "\n" << result.out;
    RunOptions here;
    here.workingDir = dir.dir();
    const auto compared = runProgram(QXW2WAV_PATH, {"/C", "out.qxw", c.args[1]}, here);
    EXPECT_EQ(compared.out.find("Signal to noise: 0.00 dB"), std::string::npos) << compared.out;
  }
}

}  // namespace
}  // namespace qxw
