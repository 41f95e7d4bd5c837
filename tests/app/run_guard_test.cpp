#include "app/run_guard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "app/mapped_file.h"
#include "support/run_program.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

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

TEST(RunGuard, TurnsAShrunkenInputIntoAnErrorAndRemovesThePartialOutput) {
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
}

TEST(RunGuard, RemovesThePartialOutputAndEndsByTheSignalWhenInterrupted) {
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
}

TEST(RunGuard, KeepsAFinishedOutput) {
  TempDir dir;
  writeFile(dir.path("out.qxw"), {1, 2, 3});
  const auto result = inChild([&] {
    guardPartialOutput(dir.path("out.qxw"));
    releasePartialOutput();
    std::raise(SIGTERM);
  });
  ASSERT_TRUE(WIFSIGNALED(result.status));
  EXPECT_TRUE(fileExists(dir.path("out.qxw")));
}

}  // namespace
}  // namespace qxw
