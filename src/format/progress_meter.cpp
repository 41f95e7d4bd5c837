#include "format/progress_meter.h"

#include <algorithm>

namespace qxw {

namespace {
constexpr auto kBetweenTellings = std::chrono::milliseconds(100);
}

void ProgressMeter::stage(double from, double to, uint64_t units) {
  {
    std::lock_guard<std::mutex> lock(telling_);
    from_ = from;
    to_ = to;
    units_ = std::max<uint64_t>(units, 1);
    done_ = 0;
  }
  tell(from);
}

void ProgressMeter::advance(uint64_t units) {
  const uint64_t done = done_ += units;
  tell(from_ + (to_ - from_) * std::min(1.0, static_cast<double>(done) / units_));
}

void ProgressMeter::tell(double done) {
  std::unique_lock<std::mutex> lock(telling_, std::try_to_lock);
  if (!lock.owns_lock() || done <= told_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kBetweenTellings) return;
  last_ = now;
  told_ = done;
  tell_(done);
}

}  // namespace qxw
