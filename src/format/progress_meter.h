#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qxw {

// The share of a run's work done, for a display. The run gives each of its stages a span of the
// whole and the units of work that fill it; the passes in a stage report the units they finish,
// from any thread. The share told never falls, and is told a few times a second at most, from
// one thread at a time.
class ProgressMeter {
 public:
  using Tell = std::function<void(double done)>;
  explicit ProgressMeter(Tell tell) : tell_(std::move(tell)) {}

  // From here on, `units` units of work take the share from `from` to `to`. Between passes only.
  void stage(double from, double to, uint64_t units = 1);
  // Units of the stage finished; any thread.
  void advance(uint64_t units);

 private:
  void tell(double done);

  Tell tell_;
  std::mutex telling_;
  std::atomic<uint64_t> done_{0};
  double from_ = 0, to_ = 0;
  uint64_t units_ = 1;
  double told_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// Advances the meter where there is one.
inline void advance(ProgressMeter* meter, uint64_t units) {
  if (meter != nullptr) meter->advance(units);
}

}  // namespace qxw
