#include "format/crew.h"

#include <algorithm>
#include <system_error>

#ifdef __linux__
#include <sched.h>
#endif

namespace qxw {

namespace {

thread_local Crew* currentCrew = nullptr;

}  // namespace

int currentCpu() {
#ifdef __linux__
  return sched_getcpu();
#else
  return -1;
#endif
}

// A thread starts on the CPU the system's balance picks, which can be the busy one of the thread
// that started it; the two then share it for milliseconds until the balancer moves one, however
// idle the other CPUs are.
void leaveCpu(int cpu) {
#ifdef __linux__
  cpu_set_t allowed;
  if (cpu < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  if (CPU_COUNT(&allowed) < 2 || !CPU_ISSET(cpu, &allowed)) return;
  cpu_set_t others = allowed;
  CPU_CLR(cpu, &others);
  if (sched_setaffinity(0, sizeof others, &others) == 0) {
    sched_setaffinity(0, sizeof allowed, &allowed);
  }
#else
  (void)cpu;
#endif
}

Crew::Crew(unsigned helpers) : startedOn_(currentCpu()) {
  for (size_t k = 1; k <= std::min<size_t>(helpers, kHelpersMask >> 1); ++k) {
    try {
      threads_.emplace_back([this, k] { serve(k); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

Crew::~Crew() {
  round_.add(1);  // odd: the end
  for (std::thread& thread : threads_) thread.join();
}

bool Crew::run(size_t count, const std::function<void(size_t)>& work) {
  if (busy_) return false;
  busy_ = true;
  const size_t helping = std::min(count > 0 ? count - 1 : 0, threads_.size());
  work_ = &work;
  running_.set(helping);
  // The job's number and how many helpers it takes, in one value: a helper reads both at once.
  round_.set((((round_.value() >> kJobShift) + 1) << kJobShift) | uint64_t{helping} << 1);
  if (count > 0) work(0);
  for (size_t k = helping + 1; k < count; ++k) work(k);
  running_.awaitUntil([](uint64_t left) { return left == 0; });
  busy_ = false;
  return true;
}

void Crew::serve(size_t index) {
  if (startedOn_ >= 0 && currentCpu() == startedOn_) leaveCpu(startedOn_);
  uint64_t seen = 0;
  for (;;) {
    seen = round_.awaitUntil([seen](uint64_t now) { return now != seen; });
    if (seen % 2 != 0) return;
    if (index > ((seen & kHelpersMask) >> 1)) continue;
    (*work_)(index);
    running_.add(~uint64_t{0});  // one fewer
  }
}

CrewScope::CrewScope(unsigned threads) {
  if (currentCrew != nullptr || threads < 2) return;
  crew_ = std::make_unique<Crew>(threads - 1);
  currentCrew = crew_.get();
}

CrewScope::~CrewScope() {
  if (crew_ != nullptr) currentCrew = nullptr;
}

Crew* CrewScope::current() { return currentCrew; }

}  // namespace qxw
