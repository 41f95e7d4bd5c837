#include "app/console.h"

#include <cstdio>

namespace qxw {

void printProgress(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printError(std::string_view text) {
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string formatEstimate(int level, uint64_t declaredSize, uint64_t estimatedSize) {
  const uint64_t e = estimatedSize;
  const uint64_t a = declaredSize + e / 200;
  return "Q" + std::to_string(level) + " estimated bytes: " + std::to_string(e) + " (" +
         std::to_string(a / e) + "." + std::to_string(a * 10 / e % 10) +
         std::to_string(a * 100 / e % 10) + ":1 compression)\n";
}

void reportEstimate(int level, uint64_t declaredSize, uint64_t estimatedSize) {
  std::fputs(formatEstimate(level, declaredSize, estimatedSize).c_str(), stdout);
}

}  // namespace qxw
