#include "format/large_buffer.h"

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

}  // namespace qxw
