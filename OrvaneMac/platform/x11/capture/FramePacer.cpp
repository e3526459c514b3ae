#include "OrvaneMac/platform/x11/capture/FramePacer.h"

#include <cmath>

namespace orvane::x11 {

void FramePacer::setMinimumFrameInterval(double seconds) {
  if (!std::isfinite(seconds) || seconds < kFastestInterval) seconds = kFastestInterval;
  interval_ = seconds > kRefreshInterval ? kRefreshInterval : seconds;
}

double FramePacer::nextTick(double tick, double now) const {
  const double next = tick + interval_;
  return next > now ? next : now + interval_;
}

}  // namespace orvane::x11
