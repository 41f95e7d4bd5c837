#include "library/thread_count.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace qxw {

namespace {

// The CPUs this process may run on (taskset, a container's CPU set), which the hardware count
// ignores.
unsigned allowedCpus() {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
  return 1;  // a module built without threads cannot start one, whatever the browser has
#endif
#ifdef __linux__
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
#endif
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

}  // namespace

// Threads beyond a few a CPU, or beyond one a block of the sound, only cost memory and time to
// start (a million asked for took 125 MB on a thousand frames); the bytes never depend on them.
unsigned threadsToUse(int threads, uint32_t frames) {
  constexpr unsigned kThreadsPerCpu = 4;
  constexpr uint64_t kFramesPerThread = 4096;  // the smallest block any pass hands a thread
  const unsigned cpus = allowedCpus();
  const unsigned asked = threads > 0 ? static_cast<unsigned>(threads) : cpus;
  const uint64_t pieces = std::max<uint64_t>(1, (frames + kFramesPerThread - 1) / kFramesPerThread);
  return static_cast<unsigned>(
      std::min<uint64_t>({asked, uint64_t{kThreadsPerCpu} * cpus, pieces}));
}

}  // namespace qxw
