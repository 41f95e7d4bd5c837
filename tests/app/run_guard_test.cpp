#include "app/run_guard.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <csignal>

#include "app/file_sink.h"
#include "app/mapped_file.h"
#include "app/platform.h"
#include "support/run_program.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

#ifndef _WIN32
struct ChildResult {
  int status;  // wait status
  std::string err;
};

// Runs body in a child process whose standard error is captured.
template <typename Body>
ChildResult inChild(Body body) {
  int pipeFds[2];
  EXPECT_EQ(::pipe(pipeFds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    restoreDefaultSignals();
    ::dup2(pipeFds[1], STDERR_FILENO);
    body();
    ::_exit(99);
  }
  ::close(pipeFds[1]);
  std::string err;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) err.append(buffer, got);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {status, err};
}

#endif

TEST(RunGuard, TurnsAShrunkenInputIntoAnErrorAndRemovesThePartialOutput) {
  QXW_POSIX_ONLY("a child process forked to fault or be signalled");
#ifndef _WIN32
  TempDir dir;
  writeFile(dir.path("in.wav"), std::vector<uint8_t>(1 << 16, 7));
  writeFile(dir.path("out.qxw"), {1, 2, 3});
  const auto result = inChild([&] {
    MappedFile input;
    if (!input.open(dir.path("in.wav"))) ::_exit(98);
    guardMappedInput("Error: file in.wav incomplete or truncated", 0);
    guardPartialOutput(dir.path("out.qxw"));
    // Another process cuts the file while it is mapped; the next read faults.
    if (::truncate(dir.path("in.wav").c_str(), 0) != 0) ::_exit(97);
    volatile uint8_t sink = input.data()[60000];
    (void)sink;
  });
  ASSERT_TRUE(WIFEXITED(result.status));
  EXPECT_EQ(WEXITSTATUS(result.status), 0);
  EXPECT_EQ(result.err, "Error: file in.wav incomplete or truncated\n");
  EXPECT_FALSE(fileExists(dir.path("out.qxw")));
#endif
}

TEST(RunGuard, RemovesThePartialOutputAndEndsByTheSignalWhenInterrupted) {
  QXW_POSIX_ONLY("a child process forked to fault or be signalled");
#ifndef _WIN32
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    writeFile(dir.path("out.qxw"), {1, 2, 3});
    const auto result = inChild([&] {
      guardPartialOutput(dir.path("out.qxw"));
      std::raise(signal);
    });
    ASSERT_TRUE(WIFSIGNALED(result.status)) << signal;
    EXPECT_EQ(WTERMSIG(result.status), signal);
    EXPECT_FALSE(fileExists(dir.path("out.qxw")));
  }
#endif
}

TEST(RunGuard, KeepsAFinishedOutput) {
  QXW_POSIX_ONLY("a child process forked to fault or be signalled");
#ifndef _WIN32
  TempDir dir;
  writeFile(dir.path("out.qxw"), {1, 2, 3});
  const auto result = inChild([&] {
    guardPartialOutput(dir.path("out.qxw"));
    releasePartialOutput();
    std::raise(SIGTERM);
  });
  ASSERT_TRUE(WIFSIGNALED(result.status));
  EXPECT_TRUE(fileExists(dir.path("out.qxw")));
#endif
}

// What an interruption's handler does removes the output while it is still open for writing
// (Windows opens it shared for deletion so that it can), and nothing once it is released.
TEST(RunGuard, RemovesTheOutputWhileItIsBeingWrittenUntilReleased) {
  TempDir dir;
  const uint8_t bytes[] = {1, 2, 3};
  for (const bool released : {false, true}) {
    const std::string name = dir.path(released ? "kept.qxw" : "removed.qxw");
    FileSink sink;
    guardPartialOutput(name);
    ASSERT_TRUE(sink.create(name, true, 0600));
    sink.write(bytes, sizeof bytes);
    ASSERT_TRUE(sink.drain());
    if (released) releasePartialOutput();
    platform::removePartialOutputNow();
    sink.close();
    EXPECT_EQ(fileExists(name), released) << name;
  }
  releasePartialOutput();
}

}  // namespace
}  // namespace qxw
