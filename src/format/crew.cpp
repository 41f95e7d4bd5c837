#include "format/crew.h"

#include <algorithm>
#include <system_error>

namespace qxw {

namespace {

thread_local Crew* currentCrew = nullptr;

}  // namespace

Crew::Crew(unsigned helpers) {
  for (size_t k = 1; k <= helpers; ++k) {
    try {
      threads_.emplace_back([this, k] { serve(k); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

Crew::~Crew() {
  round_.fetch_add(1, std::memory_order_release);  // odd: the end
  round_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool Crew::run(size_t count, const std::function<void(size_t)>& work) {
  if (busy_) return false;
  busy_ = true;
  const size_t helping = std::min(count > 0 ? count - 1 : 0, threads_.size());
  work_ = &work;
  count_ = count;
  running_.store(helping, std::memory_order_relaxed);
  round_.fetch_add(2, std::memory_order_release);
  round_.notify_all();
  if (count > 0) work(0);
  for (size_t k = helping + 1; k < count; ++k) work(k);
  for (size_t left = running_.load(std::memory_order_acquire); left != 0;
       left = running_.load(std::memory_order_acquire)) {
    running_.wait(left, std::memory_order_acquire);
  }
  busy_ = false;
  return true;
}

void Crew::serve(size_t index) {
  uint64_t seen = 0;
  for (;;) {
    seen = awaitChange(round_, seen);
    if (seen % 2 != 0) return;
    if (index >= count_) continue;
    (*work_)(index);
    if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1) running_.notify_all();
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
