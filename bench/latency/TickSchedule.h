#pragma once

#include <algorithm>
#include <cstdint>

namespace orvane::latency {

// Tick deadlines at whole periods after a start on the monotonic clock, so
// the rate does not drift with the time each tick takes. A tick that ends
// after its successor's slot has passed skips to the slot it is in instead
// of catching up with a burst.
class TickSchedule {
 public:
  TickSchedule(std::int64_t startNs, std::int64_t periodNs)
      : start_(startNs), period_(std::max<std::int64_t>(periodNs, 1)) {}

  std::int64_t nextDue() const { return start_ + index_ * period_; }
  std::int64_t index() const { return index_; }

  // The tick just run ended at `nowNs`: moves on and returns how many ticks were skipped.
  std::int64_t advance(std::int64_t nowNs) {
    const std::int64_t next = index_ + 1;
    const std::int64_t slot = nowNs < start_ ? 0 : (nowNs - start_) / period_;
    index_ = std::max(next, slot);
    return index_ - next;
  }

 private:
  std::int64_t start_;
  std::int64_t period_;
  std::int64_t index_ = 0;
};

}  // namespace orvane::latency
