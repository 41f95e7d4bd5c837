#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace qxw {

// Waits until value leaves seen and returns it: awake for about a millisecond, yielding so that it
// never keeps a busy CPU from others, then asleep. A thread between two jobs waits so, as one that
// sleeps at once lands on a CPU that may take milliseconds to wake.
template <typename T>
T awaitChange(const std::atomic<T>& value, T seen) {
  const auto awake = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
  for (;;) {
    const T now = value.load(std::memory_order_acquire);
    if (now != seen) return now;
    if (std::chrono::steady_clock::now() > awake) {
      value.wait(seen, std::memory_order_acquire);
    } else {
      std::this_thread::yield();
    }
  }
}

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

  std::vector<std::thread> threads_;
  const std::function<void(size_t)>* work_ = nullptr;
  size_t count_ = 0;
  std::atomic<uint64_t> round_{0};  // odd when the crew is to end
  std::atomic<size_t> running_{0};
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
