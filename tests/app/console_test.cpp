#include "app/console.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace qxw {
namespace {

std::string ratioOf(uint64_t declared, uint64_t estimated) {
  const std::string line = formatEstimate(0, declared, estimated);
  const size_t open = line.find('(');
  return line.substr(open + 1, line.find(':', open) - open - 1);
}

TEST(EstimateLine, RoundsTheRatioToHundredths) {
  EXPECT_EQ(ratioOf(1000, 300), "3.33");
  EXPECT_EQ(ratioOf(1994, 1000), "1.99");
  EXPECT_EQ(ratioOf(1995, 1000), "2.00");
  EXPECT_EQ(ratioOf(2000, 2200), "0.91");
  // Products beyond 32 bits keep the right digits.
  EXPECT_EQ(ratioOf(10584044, 3000000), "3.53");
  EXPECT_EQ(ratioOf(52920044, 15000000), "3.53");
  EXPECT_EQ(ratioOf(4294967295u, 2200), "1952257.86");
}

TEST(EstimateLine, HasTheDocumentedShape) {
  EXPECT_EQ("Selected " + formatEstimate(3, 10584044, 3000000),
            "Selected Q3 estimated bytes: 3000000 (3.53:1 compression)\n");
  // Sizes past 32 bits are printed whole.
  EXPECT_EQ(formatEstimate(9, 4294967295u, 5000000000u),
            "Q9 estimated bytes: 5000000000 (0.86:1 compression)\n");
}

#ifndef _WIN32  // a terminal of its own (a pseudo-terminal) and fork
// What a child writes to standard error, a terminal or a pipe, while it shows the share 0.42
// of a run after `after` and then prints a line (onto standard output, which goes nowhere).
std::string progressShown(bool terminal, std::chrono::milliseconds after) {
  int reader = -1, writer = -1;
  if (terminal) {
    reader = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(reader, 0);
    ::grantpt(reader);
    ::unlockpt(reader);
    writer = ::open(::ptsname(reader), O_RDWR | O_NOCTTY);
  } else {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    reader = fds[0];
    writer = fds[1];
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(writer, STDERR_FILENO);
    ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
    startProgressClock(after);
    showProgress(0.42);
    printProgress("Done.");
    std::_Exit(0);
  }
  ::close(writer);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string shown;
  char buffer[256];
  ::fcntl(reader, F_SETFL, O_NONBLOCK);
  for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(got));
  }
  ::close(reader);
  return shown;
}

TEST(Progress, ShowsInPlaceOnATerminalAfterItsDelayOnly) {
  using std::chrono::milliseconds;
  EXPECT_EQ(progressShown(true, milliseconds(0)), "\r 42% done\r          \r");
  EXPECT_EQ(progressShown(true, milliseconds(3600000)), "");
  EXPECT_EQ(progressShown(false, milliseconds(0)), "");
}

#endif

}  // namespace
}  // namespace qxw
