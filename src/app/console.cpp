#include "app/console.h"

#include <cstdio>
#include <exception>
#include <new>

namespace qxw {

namespace {
FILE* progressStream = stdout;
}

void printProgress(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), progressStream);
  std::fputc('\n', progressStream);
  std::fflush(progressStream);
}

void moveProgressToStandardError() { progressStream = stderr; }

void printError(std::string_view text) {
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

int runReportingFailures(int (*run)(int, const char* const*), int argc, const char* const* argv) {
  try {
    return run(argc, argv);
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
  std::snprintf(line, sizeof line, "Q%d estimated bytes: %llu (%llu.%llu%llu:1 compression)\n", level,
                static_cast<unsigned long long>(e), static_cast<unsigned long long>(a / e),
                static_cast<unsigned long long>(a * 10 / e % 10),
                static_cast<unsigned long long>(a * 100 / e % 10));
  return line;
}

void reportEstimate(int level, uint64_t declaredSize, uint64_t estimatedSize) {
  std::fputs(formatEstimate(level, declaredSize, estimatedSize).c_str(), stdout);
}

}  // namespace qxw
