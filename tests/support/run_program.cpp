#include "support/run_program.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qxw::testing {

namespace {

// Replaces the child process by the program; never returns.
[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  _exit(127);
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(got));
  ::close(fd);
  return text;
}

// Runs once; out/err get the two streams, or both streams go to out when merged.
int runOnce(const std::string& program, const std::vector<std::string>& args,
            const RunOptions& options, bool merged, std::string& out, std::string& err,
            long& peakKilobytes) {
  char outName[] = "/tmp/qxwout.XXXXXX";
  char errName[] = "/tmp/qxwerr.XXXXXX";
  const int outFd = ::mkstemp(outName);
  const int errFd = ::mkstemp(errName);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
  int pipeFds[2] = {-1, -1};
  const bool pipe = options.outputPipe || options.outputPipeClosed;
  if (pipe && ::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  if (options.outputPipeClosed) ::close(pipeFds[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    restoreDefaultSignals();
    if (!options.workingDir.empty() && ::chdir(options.workingDir.c_str()) != 0) _exit(127);
    // SIGXFSZ keeps its default action: the programs must turn it into a write error.
    if (options.fileSizeLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                         static_cast<rlim_t>(options.fileSizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memoryLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.memoryLimit),
                         static_cast<rlim_t>(options.memoryLimit)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    if (!options.standardInput.empty()) {
      const int in = ::open(options.standardInput.c_str(), O_RDONLY);
      if (in < 0) _exit(126);
      ::dup2(in, 0);
    }
    ::dup2(pipe ? pipeFds[1] : outFd, 1);
    ::dup2(merged ? outFd : errFd, 2);
    if (pipe) {
      if (options.outputPipe) ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    if (options.terminal) {
      const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
      if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) _exit(125);
      const int side = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
      if (side < 0) _exit(125);
      ::dup2(side, 0);
      ::dup2(side, 1);
    }
    if (options.user >= 0 && (::setgid(static_cast<gid_t>(options.user)) != 0 ||
                              ::setuid(static_cast<uid_t>(options.user)) != 0)) {
      _exit(124);
    }
    if (options.closedInputAndOutput) {
      ::close(0);
      ::close(1);
    }
    execute(program, args);
  }
  std::string piped;
  if (pipe) ::close(pipeFds[1]);
  if (options.outputPipe) piped = drain(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  peakKilobytes = usage.ru_maxrss;
  ::lseek(outFd, 0, SEEK_SET);
  ::lseek(errFd, 0, SEEK_SET);
  out = options.outputPipe ? piped + drain(outFd) : drain(outFd);
  err = drain(errFd);
  ::unlink(outName);
  ::unlink(errName);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void restoreDefaultSignals() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) std::signal(signal, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

int startProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDir, const std::vector<int>& ignored) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(workingDir.c_str()) != 0) _exit(127);
    restoreDefaultSignals();
    for (int signal : ignored) std::signal(signal, SIG_IGN);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    execute(program, args);
  }
  return pid;
}

int waitForProgram(int pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

bool programEnded(int pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

void killProgram(int pid) { ::kill(pid, SIGKILL); }

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options) {
  ProgramResult result;
  std::string unused;
  long peak = 0;
  result.status =
      runOnce(program, args, options, false, result.out, result.err, result.peakKilobytes);
  runOnce(program, args, options, true, result.console, unused, peak);
  return result;
}

}  // namespace qxw::testing
