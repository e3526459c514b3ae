#pragma once

#include <optional>

namespace orvane::x11 {

// Decides, tick by tick on the capture thread, whether a picture goes out.
// A picture goes out when the screen changed, when one was asked for, when
// none went out yet, and at least once a second on a still screen: a viewer
// that joins late or lost a key frame must not wait for someone to move.
// Times are seconds on one monotonic clock.
class FramePacer {
 public:
  static constexpr double kFastestInterval = 1.0 / 60;
  static constexpr double kRefreshInterval = 1.0;

  explicit FramePacer(double minimumFrameInterval = 0) { setMinimumFrameInterval(minimumFrameInterval); }

  // No faster than 60 pictures a second, whatever is asked, and no slower
  // than the refresh; 0 (or nonsense) means as fast as allowed.
  void setMinimumFrameInterval(double seconds);
  double interval() const { return interval_; }

  // The next tick delivers a picture even on a still screen.
  void forceNext() { forced_ = true; }
  bool forced() const { return forced_; }

  // A change may go out now rather than at the next tick: the last picture
  // is at least an interval old.
  bool mayDeliverEarly(double now) const { return !lastDelivery_ || now - *lastDelivery_ >= interval_; }

  bool shouldDeliver(double now, bool changed) const {
    return forced_ || changed || !lastDelivery_ || now - *lastDelivery_ >= kRefreshInterval;
  }
  void delivered(double now) {
    lastDelivery_ = now;
    forced_ = false;
  }

  // The tick after the one at `tick`. A thread that fell behind does not
  // catch up with a burst: the schedule restarts from `now`.
  double nextTick(double tick, double now) const;

 private:
  double interval_ = kFastestInterval;
  bool forced_ = false;
  std::optional<double> lastDelivery_;
};

}  // namespace orvane::x11
