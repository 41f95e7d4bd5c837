// Runs the real qxw2wav, on files the real wav2qxw writes.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/wav_header.h"
#include "qxw/qxw.h"
#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kEncoder = WAV2QXW_PATH;
const std::string kDecoder = QXW2WAV_PATH;

// The samples a fed decoder gives for these bytes, however they end.
std::vector<int16_t> fedSamples(const std::vector<uint8_t>& bytes) {
  qxw_feed_decoder* decoder = nullptr;
  EXPECT_EQ(qxw_feed_decoder_open(&decoder), QXW_OK);
  std::vector<int16_t> samples, block(size_t{4096} * QXW_CHANNELS_MAX);
  qxw_format format{};
  for (size_t at = 0;;) {
    size_t used = 0, frames = 0;
    const bool ending = at == bytes.size();
    qxw_status status =
        ending ? qxw_feed_decoder_finish(decoder)
               : qxw_feed_decoder_push(decoder, bytes.data() + at, bytes.size() - at, &used);
    at += used;
    qxw_feed_decoder_format(decoder, &format);
    while (status == QXW_OK &&
           (status = qxw_feed_decoder_pull(decoder, block.data(), 4096, &frames)) == QXW_OK &&
           frames > 0) {
      samples.insert(samples.end(), block.begin(),
                     block.begin() + static_cast<long>(frames * format.channel_count));
    }
    if (ending || status != QXW_OK) break;
  }
  qxw_feed_decoder_close(decoder);
  return samples;
}

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
  ProgramResult encode(const std::vector<std::string>& args) {
    RunOptions options;
    options.workingDir = dir.dir();
    return runProgram(kEncoder, args, options);
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
  EXPECT_EQ(
      result.out,
      "Examining QXW file header of song.qxw\nTesting sound data\nFile song.qxw is well formed\n");
  EXPECT_EQ(readFile(dir.path("song.wav")), wav);
}

TEST_F(DecoderRun, PrintsUsageAndExitsOne) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"/T"}, {"a", "b", "c"}}) {
    const auto result = decode(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.out.rfind("Format: " + kDecoder + " [ /T ] [ /F ] [ /C ] infile [ outfile ]\n", 0),
        0u);
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
  QXW_POSIX_ONLY("a limit on the size of a written file");
#ifndef _WIN32
  RunOptions limited;
  limited.fileSizeLimit = 1000;
  const auto result = decode({"song.qxw", "out.wav"}, limited);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error writing out.wav\n");
  EXPECT_FALSE(fileExists(dir.path("out.wav")));
#endif
}

// Standard input and output carry the same bytes as the files.
TEST_F(DecoderRun, PipesGiveTheBytesOfTheFiles) {
  RunOptions options;
  ASSERT_EQ(encode({"/Q4", "song.wav", "lossy.qxw"}).status, 0);
  ASSERT_EQ(decode({"lossy.qxw", "file.wav"}).status, 0);
  const auto expected = readFile(dir.path("file.wav"));
  const std::string asText(expected.begin(), expected.end());

  auto toStdout = decode({"lossy.qxw", "-"});
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_EQ(toStdout.out, asText);
  // The progress goes to standard error, out of the sound's way.
  EXPECT_EQ(toStdout.err,
            "Examining QXW file header of lossy.qxw\nDecoding and writing sound data\nDone.\n");

  options.standardInput = dir.path("lossy.qxw");
  EXPECT_EQ(decode({"-"}, options).out, asText);
  EXPECT_EQ(decode({"/F", "-", "piped.wav"}, options).status, 0);
  EXPECT_EQ(readFile(dir.path("piped.wav")), expected);
  const auto tested = decode({"/T", "-"}, options);
  EXPECT_EQ(tested.out,
            "Examining QXW file header of standard input\nTesting sound data\n"
            "File standard input is well formed\n");
#ifndef _WIN32  // standard output has no name on Windows
  // Standard output by another name is standard output, with the lines out of the way.
  for (const char* name : {"/dev/stdout", "/dev/fd/1"}) {
    const auto named = decode({"lossy.qxw", name});
    EXPECT_EQ(named.out, asText) << name;
    EXPECT_EQ(named.err, toStdout.err) << name;
  }
#endif
}

TEST_F(DecoderRun, APipeThatFailsMidStreamEndsWithStatusTwo) {
  auto corrupt = readFile(dir.path("song.qxw"));
  corrupt[2196] = static_cast<uint8_t>(corrupt[2196] - 4);
  corrupt.resize(corrupt.size() - 4);
  writeFile(dir.path("corrupt.qxw"), corrupt);
  auto result = decode({"corrupt.qxw", "-"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("Corrupt QXW data\n"), std::string::npos);

  // A reader that is gone: a write error, not a silent end by SIGPIPE.
  RunOptions gone;
  gone.outputPipeClosed = true;
  EXPECT_EQ(decode({"song.qxw", "-"}, gone).status, 2);
}

// The report's figures, computed here from the two files on their own.
TEST_F(DecoderRun, ReportsTheLargestDifferenceAndTheSignalToNoise) {
  ASSERT_EQ(encode({"/Q2", "song.wav", "lossy.qxw"}).status, 0);
  ASSERT_EQ(decode({"lossy.qxw", "decoded.wav"}).status, 0);
  const auto original = readFile(dir.path("song.wav"));
  const auto decoded = readFile(dir.path("decoded.wav"));
  long largest = 0;
  double signal = 0, noise = 0;
  for (size_t i = 44; i + 1 < original.size(); i += 2) {
    const long x = static_cast<int16_t>(original[i] | (original[i + 1] << 8));
    const long y = static_cast<int16_t>(decoded[i] | (decoded[i + 1] << 8));
    largest = std::max(largest, std::labs(x - y));
    signal += static_cast<double>(x * x);
    noise += static_cast<double>((x - y) * (x - y));
  }
  ASSERT_GT(noise, 0);
  char expected[128];
  std::snprintf(expected, sizeof expected, "Largest difference: %ld\nSignal to noise: %.2f dB\n",
                largest, 10 * std::log10(signal / noise));
  auto result = decode({"/C", "lossy.qxw", "song.wav"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Examining QXW file header of lossy.qxw\n" + std::string(expected));
  EXPECT_FALSE(fileExists(dir.path("lossy.wav")));

  result = decode({"/c", "song.qxw", "song"});
  EXPECT_EQ(result.out,
            "Examining QXW file header of song.qxw\nLargest difference: 0\n"
            "Signal to noise: identical\n");

  // Another sample rate is said before the figures.
  writeFile(dir.path("fast.wav"), makeWav(makeSignal(Signal::Music, 5000, 2), 2, 48000));
  result = decode({"/C", "song.qxw", "fast.wav"});
  EXPECT_EQ(result.out,
            "Examining QXW file header of song.qxw\nSample rates differ: fast.wav has "
            "48000 Hz, song.qxw 32000 Hz\nLargest difference: 0\n"
            "Signal to noise: identical\n");
#ifndef _WIN32  // a device that is always full
  // A report that cannot be written is an error.
  const int full = ::open("/dev/full", O_WRONLY);
  if (full >= 0) {
    ::close(full);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(::open("/dev/full", O_WRONLY), 1);
      ::dup2(::open("/dev/null", O_WRONLY), 2);
      ::execl(kDecoder.c_str(), kDecoder.c_str(), "/C", dir.path("lossy.qxw").c_str(),
              dir.path("song.wav").c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 2);
  }
#endif

  writeFile(dir.path("short.wav"), makeWav(makeSignal(Signal::Music, 4999, 2), 2, 32000));
  result = decode({"/C", "lossy.qxw", "short.wav"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: short.wav does not match lossy.qxw in frames or channels\n");
  writeFile(dir.path("mono.wav"), makeWav(makeSignal(Signal::Music, 10000, 1), 1, 32000));
  EXPECT_EQ(decode({"/C", "lossy.qxw", "mono.wav"}).status, 2);
  EXPECT_EQ(decode({"/C", "lossy.qxw", "missing.wav"}).err, "Error openning missing.wav\n");
  EXPECT_EQ(decode({"/C", "-"}).err, "Error: /C needs the name of the WAV file to compare with\n");
}

// A silent original has no signal to measure against; a ratio just under 1 is 0.00 dB.
TEST_F(DecoderRun, ReportsSilenceAndEvenRatiosPlainly) {
  std::vector<int16_t> quiet(10, 0), loud(10, 0);
  loud[0] = 100;
  quiet[5] = 1;
  writeFile(dir.path("silent.wav"), makeWav(std::vector<int16_t>(10, 0), 1));
  writeFile(dir.path("quiet.wav"), makeWav(quiet, 1));
  writeFile(dir.path("loud.wav"), makeWav(loud, 1));
  ASSERT_EQ(encode({"/Q9", "quiet.wav"}).status, 0);
  auto result = decode({"/C", "quiet.qxw", "silent.wav"});
  EXPECT_EQ(result.out,
            "Examining QXW file header of quiet.qxw\nLargest difference: 1\n"
            "Signal to noise: no signal\n");
  // 10000 against 10001.
  result = decode({"/C", "quiet.qxw", "loud.wav"});
  EXPECT_EQ(result.out,
            "Examining QXW file header of quiet.qxw\nLargest difference: 100\n"
            "Signal to noise: 0.00 dB\n");
}

// Bytes after the data: a test fails, a decode keeps the sound and says what it left.
TEST_F(DecoderRun, BytesAfterTheDataFailATest) {
  const auto file = readFile(dir.path("song.qxw"));
  auto junk = file;
  junk.insert(junk.end(), {'J', 'U', 'N', 'K'});
  writeFile(dir.path("junk.qxw"), junk);
  auto twice = file;
  twice.insert(twice.end(), file.begin(), file.end());
  writeFile(dir.path("twice.qxw"), twice);
  for (const auto& [name, extra] : {std::pair<const char*, size_t>{"junk", 4},
                                    std::pair<const char*, size_t>{"twice", file.size()}}) {
    const std::string what =
        std::to_string(extra) + " bytes follow the QXW data in " + name + ".qxw";
    auto result = decode({"/T", name});
    EXPECT_EQ(result.status, 2) << name;
    EXPECT_EQ(result.err, "Error: " + what + "\n");
    result = decode({name, "out"});
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.err, "Warning: " + what + "; they are not decoded\n");
    EXPECT_EQ(readFile(dir.path("out.wav")), wav);
    std::filesystem::remove(dir.path("out.wav"));
  }
}

// Standard input is read only as far as the header declares: what follows is never held; a test
// fails on it and a decode says so.
TEST_F(DecoderRun, ReadsStandardInputOnlyAsFarAsTheHeaderDeclares) {
  const auto file = readFile(dir.path("song.qxw"));
  writeFile(dir.path("long.bin"), file);
  ASSERT_TRUE(resizeFile(dir.path("long.bin"), file.size() + (uint64_t{1} << 30)));
  RunOptions piped;
  piped.standardInput = dir.path("long.bin");
  auto result = decode({"-", "out.wav"}, piped);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "Warning: more bytes follow the QXW data in standard input; they are not decoded\n");
  EXPECT_EQ(readFile(dir.path("out.wav")), wav);
  EXPECT_LT(result.peakKilobytes, 256 << 10);
  result = decode({"/T", "-"}, piped);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: more bytes follow the QXW data in standard input\n");
  // Exactly the file: nothing to say.
  piped.standardInput = dir.path("song.qxw");
  result = decode({"/T", "-"}, piped);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

// A long stream is decoded as it arrives, in memory that does not grow with it; a stream cut
// short or broken inside its data ends the run with the error, after the frames before it.
TEST_F(DecoderRun, DecodesAStreamAsItArrives) {
  // Written a block at a time, never held whole.
  {
    std::ofstream out(dir.path("long.wav"), std::ios::binary);
    const auto header = makeWaveHeader(2000000, 6, 44100);
    out.write(reinterpret_cast<const char*>(header.data()), 44);
    for (uint32_t block = 0; block < 20; ++block) {
      const auto noise = makeSignal(Signal::FullScaleNoise, 100000, 6, block + 1);
      out.write(reinterpret_cast<const char*>(noise.data()), 2 * noise.size());
    }
    ASSERT_TRUE(out.good());
  }
  ASSERT_EQ(encode({"/Q9", "long.wav", "long.qxw"}).status, 0);
  ASSERT_GT(std::filesystem::file_size(dir.path("long.qxw")), uint64_t{20} << 20);
  RunOptions piped;
  piped.standardInput = dir.path("long.qxw");
  // Less address space than the stream's size: the decode cannot hold it. (A child's peak
  // memory would count what this process held when it forked; the sanitizer needs vast
  // address space of its own.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
  piped.memoryLimit = 16l << 20;
#endif
  auto result = decode({"-", "out.wav"}, piped);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir.path("out.wav")), readFile(dir.path("long.wav")));

  struct Broken {
    const char* name;
    size_t length;   // of the stream, cut there
    size_t flipped;  // a byte of the data changed; 0 for none
    const char* error;
  };
  const auto small = readFile(dir.path("song.qxw"));
  const Broken broken[] = {
      {"in the header", 1000, 0, "Error: file standard input incomplete or truncated\n"},
      {"in the data", small.size() - 10, 0, "Error: file standard input incomplete or truncated\n"},
      {"corrupt", small.size(), small.size() - 3, "Corrupt QXW data\n"},
  };
  for (const Broken& b : broken) {
    std::vector<uint8_t> bytes(small.begin(), small.begin() + static_cast<long>(b.length));
    if (b.flipped != 0) bytes[b.flipped] ^= 0x5A;
    writeFile(dir.path("broken.qxw"), bytes);
    piped.standardInput = dir.path("broken.qxw");
    result = decode({"/T", "-"}, piped);
    EXPECT_EQ(result.status, 2) << b.name;
    EXPECT_EQ(result.err, b.error) << b.name;
    result = decode({"/F", "-", "broken.wav"}, piped);
    EXPECT_EQ(result.err, b.error) << b.name;
    EXPECT_FALSE(fileExists(dir.path("broken.wav"))) << b.name;
    // Into a pipe, every frame the bytes before the fault allow goes out before the error line.
    RunOptions toPipe = piped;
    toPipe.outputPipe = true;
    result = decode({"-", "-"}, toPipe);
    EXPECT_EQ(result.status, 2) << b.name;
    EXPECT_TRUE(result.err.ends_with(b.error)) << b.name;
    std::string expected;
    if (b.length >= 2200) {
      const auto samples = fedSamples(bytes);
      expected.assign(wav.begin(), wav.begin() + 44);
      expected.append(reinterpret_cast<const char*>(samples.data()), 2 * samples.size());
    }
    EXPECT_EQ(result.out, expected) << b.name;
  }
}

// A stream whose writer pauses: the sound decoded so far goes out while it waits.
TEST_F(DecoderRun, SendsTheSoundWhileTheStreamPauses) {
  QXW_POSIX_ONLY("a pipe the test writes into by halves, watched with poll");
#ifndef _WIN32
  const auto file = readFile(dir.path("song.qxw"));
  int input[2], output[2];
  ASSERT_EQ(::pipe(input), 0);
  ASSERT_EQ(::pipe(output), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input[0], 0);
    ::dup2(output[1], 1);
    for (int fd : {input[0], input[1], output[0], output[1]}) ::close(fd);
    ::execl(kDecoder.c_str(), kDecoder.c_str(), "-", "-", nullptr);
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  const size_t half = file.size() / 2;
  ASSERT_EQ(::write(input[1], file.data(), half), static_cast<ssize_t>(half));
  // Waits for sound past the header with the rest of the stream held back.
  std::string out;
  char block[65536];
  while (out.size() <= 44) {
    pollfd ready{output[0], POLLIN, 0};
    if (::poll(&ready, 1, 60000) != 1) break;
    const ssize_t got = ::read(output[0], block, sizeof block);
    if (got <= 0) break;
    out.append(block, static_cast<size_t>(got));
  }
  EXPECT_GT(out.size(), 44u);
  ASSERT_EQ(::write(input[1], file.data() + half, file.size() - half),
            static_cast<ssize_t>(file.size() - half));
  ::close(input[1]);
  for (ssize_t got; (got = ::read(output[0], block, sizeof block)) > 0;) {
    out.append(block, static_cast<size_t>(got));
  }
  ::close(output[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(out == std::string(wav.begin(), wav.end())) << out.size();
#endif
}

// /T tests every name it is given, each with its own line; the failures are named and counted.
TEST_F(DecoderRun, TestsEveryFileNamed) {
  writeFile(dir.path("bad.qxw"), {'n', 'o', 't'});
  const auto result = decode({"/T", "song.qxw", "bad.qxw", "song"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "bad.qxw: Not valid QXW file\n1 of 3 files failed\n");
  size_t good = 0;
  for (size_t at = 0;
       (at = result.out.find("File song.qxw is well formed\n", at)) != std::string::npos; ++at) {
    ++good;
  }
  EXPECT_EQ(good, 2u);
}

// A terminal is neither a QXW file to read nor a place for a WAV file.
TEST_F(DecoderRun, RefusesATerminal) {
  QXW_POSIX_ONLY("a terminal of its own for a program");
#ifndef _WIN32
  RunOptions terminal;
  terminal.terminal = true;
  auto result = decode({"song.qxw", "-"}, terminal);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: standard output is a terminal\n");
  result = decode({"song.qxw", "/dev/stdout"}, terminal);
  EXPECT_EQ(result.err, "Error: standard output is a terminal\n");
  result = decode({"/T", "-"}, terminal);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: standard input is a terminal\n");
#endif
}

}  // namespace
}  // namespace qxw
