#pragma once

#include <string>
#include <vector>

namespace qxw::testing {

struct ProgramResult {
  int status = -1;         // exit status, or -1 when the program did not exit normally
  std::string out;         // standard output
  std::string err;         // standard error
  std::string console;     // both streams through one pipe, in the order they were written
  long peakKilobytes = 0;  // the most memory the program held (resident), in KiB
};

// Runs the program twice: once with separate streams, once with both on one pipe.
struct RunOptions {
  std::string workingDir;
  long fileSizeLimit = -1;            // bytes a written file may reach; -1 for no limit
  std::string standardInput;          // a file to read as standard input; none when empty
  bool closedInputAndOutput = false;  // starts with descriptors 0 and 1 closed, as a daemon may
  bool terminal = false;              // standard input and output on a terminal of their own
  long memoryLimit = -1;              // bytes of address space; -1 for no limit
  int user = -1;                      // a user id to run as (the test must be root); -1: ours
  bool outputPipe = false;            // standard output a pipe (it cannot seek), not a file
  bool outputPipeClosed = false;      // standard output a pipe nobody reads (closed, as by head)
};

// In a child about to run a program or a test's body: the signals a test sends (INT, TERM, HUP,
// QUIT, PIPE) at their default actions and none blocked, whatever the suite started with (nohup,
// trap '' INT), since a program rightly keeps a signal ignored that it was started with.
void restoreDefaultSignals();

// Starts the program without waiting for it; its console output is discarded. The signals in
// `ignored` start out ignored, as under nohup (none on Windows, where the program starts in a
// process group of its own, for Ctrl-Break). Returns the process id.
int startProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDir, const std::vector<int>& ignored = {});
// Waits for a started program; the wait status (on Windows, the exit code).
int waitForProgram(int pid);
// True once a started program has ended; its status is then gone.
bool programEnded(int pid);
// Ends a started program at once, as SIGKILL or TerminateProcess do: nothing of it runs.
void killProgram(int pid);

// Leaves a test out on Windows, saying why: what it needs has no equivalent there.
#ifdef _WIN32
#define QXW_POSIX_ONLY(reason) GTEST_SKIP() << "on POSIX systems only: " << (reason)
#else
#define QXW_POSIX_ONLY(reason) static_cast<void>(0)
#endif

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options = {});

}  // namespace qxw::testing
