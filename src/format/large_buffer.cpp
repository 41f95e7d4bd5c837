#include "format/large_buffer.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qxw {

void* allocateLarge(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Whole large pages, aligned to them, for the system to back with them where it may.
  constexpr size_t kLargePage = size_t{2} << 20;
  if (bytes >= kLargePage) {
    const size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    void* p = std::aligned_alloc(kLargePage, rounded);
    if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }
#endif
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void freeLarge(void* p) { std::free(p); }

void populateForWriting(void* at, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // The whole pages inside the range: the partial ones at its ends fault as they are written.
  constexpr uintptr_t kPage = 4096;
  const auto first = (reinterpret_cast<uintptr_t>(at) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<uintptr_t>(at) + bytes) & ~(kPage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)at;
  (void)bytes;
#endif
}

}  // namespace qxw
