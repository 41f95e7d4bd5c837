#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qxw {

// The CPU the calling thread runs on, or -1 where that cannot be told.
int currentCpu();
// Moves the calling thread off `cpu` where it may run elsewhere, leaving it free to run anywhere
// it could before.
void leaveCpu(int cpu);

// A count that threads wait on. A waiter stays awake about a millisecond, yielding so that it
// never keeps a busy CPU from others, before it sleeps: a thread that sleeps at once lands on a
// CPU that may take milliseconds to wake. (A mutex and a condition rather than the atomic's own
// wait, which some standard libraries' builds can fail to wake.)
class WakeCount {
 public:
  uint64_t value() const { return value_.load(std::memory_order_acquire); }
  // Adds n (wrapping) and wakes every waiter; the new value.
  uint64_t add(uint64_t n) {
    uint64_t now;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      now = value_.fetch_add(n, std::memory_order_acq_rel) + n;
    }
    changed_.notify_all();
    return now;
  }
  void set(uint64_t n) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      value_.store(n, std::memory_order_release);
    }
    changed_.notify_all();
  }
  // Waits until done(value) holds; the value then.
  template <typename Done>
  uint64_t awaitUntil(Done done) {
    // Without a look at the clock when there is nothing to wait for: some callers ask often.
    if (const uint64_t now = value(); done(now)) return now;
    const auto awake = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    for (uint64_t now = value(); !done(now); now = value()) {
      if (std::chrono::steady_clock::now() < awake) {
        std::this_thread::yield();
        continue;
      }
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return done(value_.load(std::memory_order_acquire)); });
    }
    return value();
  }

 private:
  std::atomic<uint64_t> value_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Threads kept for the passes of one run, so that each pass does not start threads of its own:
// a thread that starts lands on a CPU that may sleep and take milliseconds to wake, and a run
// makes many passes. Between two jobs the threads stay awake about a millisecond before they
// sleep. Made by a CrewScope on the thread that runs the passes; onThreads uses it there.
class Crew {
 public:
  // Up to `helpers` threads besides the caller's; fewer where no more can be started.
  explicit Crew(unsigned helpers);
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  size_t helpers() const { return threads_.size(); }
  // Runs work(k) for k = 0..count-1: k = 0 on the calling thread, 1..helpers() on the crew, the
  // rest on the calling thread after its own; returns once all have ended. work must not throw.
  // False, with nothing run, while the crew is busy with another job (a job within a job).
  bool run(size_t count, const std::function<void(size_t)>& work);

 private:
  void serve(size_t index);

  const int startedOn_;  // the CPU the crew was made on, or -1
  std::vector<std::thread> threads_;
  // round_: bit 0 set when the crew is to end; bits 1..15 the helpers the job takes; above, the
  // job's number.
  static constexpr int kJobShift = 16;
  static constexpr uint64_t kHelpersMask = 0xFFFE;
  const std::function<void(size_t)>* work_ = nullptr;
  WakeCount round_;
  WakeCount running_;  // helpers still at the job
  bool busy_ = false;
};

// The crew of the passes run on this thread while the scope lasts, when there are threads to
// spare and none is set yet (a run within a run keeps the outer crew).
class CrewScope {
 public:
  explicit CrewScope(unsigned threads);
  ~CrewScope();
  CrewScope(const CrewScope&) = delete;
  CrewScope& operator=(const CrewScope&) = delete;

  // The crew set on this thread, or null.
  static Crew* current();

 private:
  std::unique_ptr<Crew> crew_;
};

}  // namespace qxw
