// Fault injection on the real programs: interruptions at any moment, kills, a full disk,
// concurrent runs and ignored signals. An older output must survive every one of them, and no
// broken file may appear under the final name.
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "app/mapped_file.h"
#include "app/output_file.h"
#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kEncoder = WAV2QXW_PATH;
const std::string kDecoder = QXW2WAV_PATH;

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until a file other than the known ones appears, or the program ends.
bool waitForNewFile(const std::string& dir, size_t known, int pid) {
  for (;;) {
    if (filesIn(dir).size() > known) return true;
    if (programEnded(pid)) return false;
  }
}

// Starts the encoder on song.wav until a run is caught with its output just made: on a loaded
// machine a run can end before this process looks, and then it is simply run again. The pid of
// the run caught, or -1.
int startCaughtWritingItsOutput(const std::string& dir, const std::vector<uint8_t>& older,
                                const std::vector<int>& ignored = {}) {
  const size_t known = filesIn(dir).size();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int pid = startProgram(kEncoder, {"song.wav"}, dir, ignored);
    if (waitForNewFile(dir, known, pid)) return pid;
    writeFile(dir + "/song.qxw", older);
  }
  return -1;
}

class OutputSafety : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<uint8_t> older;

  void SetUp() override {
    // Long enough that a run is still writing when the signal comes.
    writeFile(dir.path("song.wav"), makeWav(makeSignal(Signal::Music, 1500000, 2), 2));
    writeFile(dir.path("small.wav"), makeWav(makeSignal(Signal::Music, 3000, 2), 2));
    RunOptions options;
    options.workingDir = dir.dir();
    ASSERT_EQ(runProgram(kEncoder, {"small.wav", "song.qxw"}, options).status, 0);
    older = readFile(dir.path("song.qxw"));
  }
  ProgramResult run(const std::string& program, const std::vector<std::string>& args,
                    RunOptions options = {}) {
    options.workingDir = dir.dir();
    return runProgram(program, args, options);
  }
  void expectOnlyTheOlderFiles() {
    EXPECT_EQ(filesIn(dir.dir()), (std::vector<std::string>{"small.wav", "song.qxw", "song.wav"}));
    EXPECT_EQ(readFile(dir.path("song.qxw")), older);
  }
};

TEST_F(OutputSafety, AnInterruptionAsSoonAsTheOutputAppearsLeavesNothing) {
  QXW_POSIX_ONLY(
      "signals; Windows's Ctrl-C and Ctrl-Break reach a console's processes, which the tests have "
      "none of");
#ifndef _WIN32
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGINT}) {
    const int pid = startCaughtWritingItsOutput(dir.dir(), older);
    ASSERT_GT(pid, 0);
    ::kill(pid, signal);
    const int status = waitForProgram(pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << signal;
    EXPECT_EQ(WTERMSIG(status), signal);
    expectOnlyTheOlderFiles();
  }
#endif
}

TEST_F(OutputSafety, AKilledRunNeverLeavesABrokenFileUnderTheFinalName) {
  const int pid = startCaughtWritingItsOutput(dir.dir(), older);
  ASSERT_GT(pid, 0);
  killProgram(pid);
  waitForProgram(pid);
  EXPECT_EQ(readFile(dir.path("song.qxw")), older);
  // At most the temporary file is left, under a hidden name.
  for (const auto& name : filesIn(dir.dir())) {
    if (name != "small.wav" && name != "song.qxw" && name != "song.wav") {
      EXPECT_EQ(name[0], '.');
    }
  }
}

TEST_F(OutputSafety, AFullDiskKeepsTheOlderFile) {
  QXW_POSIX_ONLY("a limit on the size of a written file");
#ifndef _WIN32
  RunOptions limited;
  limited.fileSizeLimit = 100000;
  const auto encoded = run(kEncoder, {"song.wav"}, limited);
  EXPECT_EQ(encoded.status, 2);
  EXPECT_EQ(encoded.err, "Error writing song.qxw\n");
  expectOnlyTheOlderFiles();

  writeFile(dir.path("big.qxw"), older);
  ASSERT_EQ(run(kEncoder, {"/Q9", "song.wav", "big.qxw"}).status, 0);
  const auto decoded = run(kDecoder, {"/F", "big.qxw", "song.qxw"}, limited);
  EXPECT_EQ(decoded.status, 2);
  EXPECT_EQ(decoded.err, "Error writing song.qxw\n");
  EXPECT_EQ(readFile(dir.path("song.qxw")), older);
#endif
}

TEST_F(OutputSafety, ConcurrentRunsLeaveOneCompleteFile) {
  ASSERT_EQ(run(kEncoder, {"song.wav", "expected.qxw"}).status, 0);
  const auto expected = readFile(dir.path("expected.qxw"));
  const int first = startProgram(kEncoder, {"song.wav"}, dir.dir());
  const int second = startProgram(kEncoder, {"song.wav"}, dir.dir());
  EXPECT_EQ(waitForProgram(first), 0);
  EXPECT_EQ(waitForProgram(second), 0);
  EXPECT_EQ(readFile(dir.path("song.qxw")), expected);
  EXPECT_EQ(filesIn(dir.dir()).size(), 4u);
}

TEST_F(OutputSafety, IgnoredSignalsStayIgnored) {
  QXW_POSIX_ONLY("signals");
#ifndef _WIN32
  ASSERT_EQ(run(kEncoder, {"song.wav", "expected.qxw"}).status, 0);
  const int pid = startCaughtWritingItsOutput(dir.dir(), older, {SIGHUP, SIGTERM});
  int status = 0;
  // A hang-up and a TERM throughout the writing, as under nohup or trap '' TERM.
  ASSERT_GT(pid, 0);
  for (int sent = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++sent) {
    ::kill(pid, sent % 2 ? SIGHUP : SIGTERM);
    ::usleep(200);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readFile(dir.path("song.qxw")), readFile(dir.path("expected.qxw")));
#endif
}

TEST_F(OutputSafety, TheDecoderReplacesAFileOnlyWhenAsked) {
  const auto original = readFile(dir.path("small.wav"));
  ASSERT_EQ(run(kEncoder, {"/Q2", "small.wav", "lossy.qxw"}).status, 0);
  auto result = run(kDecoder, {"lossy.qxw", "small.wav"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "Error: output file small.wav exists; /F replaces it\n");
  EXPECT_EQ(readFile(dir.path("small.wav")), original);

  // A corrupt file with /F still leaves the older file as it was.
  auto corrupt = readFile(dir.path("lossy.qxw"));
  corrupt.resize(corrupt.size() - 4);
  corrupt[2196] = static_cast<uint8_t>(corrupt[2196] - 4);
  writeFile(dir.path("corrupt.qxw"), corrupt);
  result = run(kDecoder, {"/f", "corrupt.qxw", "small.wav"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(readFile(dir.path("small.wav")), original);

  // /T tests every name: small.wav is not a QXW file, and it stays as it was.
  result = run(kDecoder, {"/F", "/t", "lossy.qxw", "small.wav"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(readFile(dir.path("small.wav")), original);
  result = run(kDecoder, {"/f", "lossy.qxw", "small.wav"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(readFile(dir.path("small.wav")), original);
}

// Started with standard input and output closed, the files a run opens must not take their
// place: no console line may land in an output.
TEST_F(OutputSafety, ClosedStandardStreamsNeverReceiveTheOutput) {
  QXW_POSIX_ONLY("standard streams closed at the start, which Windows replaces by none");
#ifndef _WIN32
  ASSERT_EQ(run(kEncoder, {"small.wav", "expected.qxw"}).status, 0);
  ASSERT_EQ(run(kDecoder, {"expected.qxw", "expected.wav"}).status, 0);
  RunOptions closed;
  closed.closedInputAndOutput = true;
  EXPECT_EQ(run(kEncoder, {"small.wav", "closed.qxw"}, closed).status, 0);
  EXPECT_EQ(readFile(dir.path("closed.qxw")), readFile(dir.path("expected.qxw")));
  EXPECT_EQ(run(kDecoder, {"expected.qxw", "closed.wav"}, closed).status, 0);
  EXPECT_EQ(readFile(dir.path("closed.wav")), readFile(dir.path("expected.wav")));
#endif
}

// A replaced file keeps its permissions; one the user could not write stays as it is; a
// dangling link gets the file it names.
// The temporary file is private while it fills, whatever the umask and the file it replaces;
// only the complete file gets the final mode (the old file's, or 0666 under the umask).
TEST_F(OutputSafety, TheTemporaryFileIsPrivateUntilItIsComplete) {
  QXW_POSIX_ONLY("file modes and the umask");
#ifndef _WIN32
  const mode_t umask = ::umask(022);
  for (int existing : {-1, 0600, 0640, 0644}) {
    const std::string name = dir.path("private.qxw");
    ::unlink(name.c_str());
    if (existing >= 0) {
      writeFile(name, {});
      ::chmod(name.c_str(), static_cast<mode_t>(existing));
    }
    const MappedFile noInput;
    OutputFile output;
    ASSERT_TRUE(output.create(name, noInput, ReplacePolicy::Always));
    const std::vector<uint8_t> bytes(1 << 20, 5);
    output.sink().write(bytes.data(), bytes.size());
    size_t temporaries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir())) {
      if (entry.path().filename().string().rfind(".qxw-", 0) != 0) continue;
      struct stat info {};
      ::stat(entry.path().c_str(), &info);
      EXPECT_EQ(info.st_mode & 07777, 0600u) << existing;
      ++temporaries;
    }
    EXPECT_EQ(temporaries, 1u);
    ASSERT_TRUE(output.finish());
    struct stat info {};
    ::stat(name.c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, existing < 0 ? 0644u : static_cast<unsigned>(existing));
    EXPECT_EQ(readFile(name), bytes);
  }
  ::umask(umask);
#endif
}

TEST_F(OutputSafety, AReplacedFileKeepsItsPermissions) {
  QXW_POSIX_ONLY("file modes, groups and symbolic links");
#ifndef _WIN32
  for (mode_t mode : {0600, 0640, 0604}) {
    ::chmod(dir.path("song.qxw").c_str(), mode);
    ASSERT_EQ(run(kEncoder, {"small.wav", "song.qxw"}).status, 0);
    ASSERT_EQ(run(kDecoder, {"/F", "song.qxw", "song.wav"}).status, 0);
    struct stat info {};
    ::stat(dir.path("song.qxw").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, mode);
    ::chmod(dir.path("song.wav").c_str(), mode);
    ASSERT_EQ(run(kDecoder, {"/F", "song.qxw", "song.wav"}).status, 0);
    ::stat(dir.path("song.wav").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, mode);
  }
  if (::geteuid() != 0) {
    ::chmod(dir.path("song.qxw").c_str(), 0444);
    const auto before = readFile(dir.path("song.qxw"));
    const auto refused = run(kEncoder, {"/Q9", "small.wav", "song.qxw"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "Error creating song.qxw\n");
    EXPECT_EQ(readFile(dir.path("song.qxw")), before);
  }
  // Another user's file in a sticky folder cannot be renamed over, though its mode lets anyone
  // write it: refused before anything is written. Needs root to play both users.
  if (::geteuid() == 0) {
    const std::string sticky = dir.path("sticky");
    ::mkdir(sticky.c_str(), 0777);
    ::chmod(sticky.c_str(), 01777);
    ::chmod(dir.dir().c_str(), 0755);
    writeFile(sticky + "/song.qxw", older);
    ::chmod((sticky + "/song.qxw").c_str(), 0666);
    RunOptions other;
    other.user = 65534;
    const auto refused = run(kEncoder, {"small.wav", "sticky/song.qxw"}, other);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "Error creating sticky/song.qxw\n");
    EXPECT_EQ(readFile(sticky + "/song.qxw"), older);
  }
  ::symlink("made/new.qxw", dir.path("link.qxw").c_str());
  ::mkdir(dir.path("made").c_str(), 0700);
  EXPECT_EQ(run(kEncoder, {"small.wav", "link.qxw"}).status, 0);
  struct stat info {};
  EXPECT_EQ(::lstat(dir.path("link.qxw").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_TRUE(fileExists(dir.path("made/new.qxw")));
#endif
}

}  // namespace
}  // namespace qxw
