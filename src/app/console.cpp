#include "app/console.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "app/platform.h"

namespace qxw {

namespace {
FILE* progressStream = stdout;
std::string errorPrefix;
std::chrono::steady_clock::time_point showFrom = std::chrono::steady_clock::time_point::max();
std::atomic<bool> progressShown{false};

// Erases the share shown, so that the next line starts where it stood.
void clearProgress() {
  if (!progressShown.exchange(false)) return;
  std::fputs("\r          \r", stderr);
  std::fflush(stderr);
}
}  // namespace

void startProgressClock(std::chrono::milliseconds after) {
  showFrom = std::chrono::steady_clock::now() + after;
}

void showProgress(double done) {
  if (std::chrono::steady_clock::now() < showFrom ||
      !platform::isTerminal(platform::kStandardError))
    return;
  std::fflush(stdout);
  std::fprintf(stderr, "\r%3d%% done", static_cast<int>(done * 100));
  std::fflush(stderr);
  progressShown = true;
}

void printProgress(std::string_view text) {
  clearProgress();
  std::fwrite(text.data(), 1, text.size(), progressStream);
  std::fputc('\n', progressStream);
  std::fflush(progressStream);
}

void moveProgressToStandardError() { progressStream = stderr; }

void setErrorPrefix(std::string prefix) { errorPrefix = std::move(prefix); }
const std::string& currentErrorPrefix() { return errorPrefix; }

void printError(std::string_view text) {
  clearProgress();
  std::fflush(stdout);
  std::fwrite(errorPrefix.data(), 1, errorPrefix.size(), stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool prepareProcess() { return platform::prepareStandardStreams(); }

int runReportingFailures(int (*run)(int, const char* const*), int argc, const char* const* argv) {
  if (!prepareProcess()) return 2;
  return runCatching([&] { return run(argc, argv); });
}

#ifdef _WIN32
int runReportingFailures(int (*run)(int, const char* const*), int argc, wchar_t** argv) {
  const std::vector<std::string> arguments = platform::utf8Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return runReportingFailures(run, argc, pointers.data());
}
#endif

int runCatching(const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::bad_alloc&) {
    printError("Error: out of memory");
  } catch (const std::exception& failure) {
    printError(std::string("Error: ") + failure.what());
  }
  return 2;
}

std::string formatEstimate(int level, uint64_t declaredSize, uint64_t estimatedSize) {
  const uint64_t e = estimatedSize;
  // Half a hundredth of the estimate rounds the ratio to the nearest hundredth.
  const uint64_t a = declaredSize + e / 200;
  char line[128];
  std::snprintf(line, sizeof line, "Q%d estimated bytes: %llu (%llu.%llu%llu:1 compression)\n",
                level, static_cast<unsigned long long>(e), static_cast<unsigned long long>(a / e),
                static_cast<unsigned long long>(a * 10 / e % 10),
                static_cast<unsigned long long>(a * 100 / e % 10));
  return line;
}

}  // namespace qxw
