#include "OrvaneCore/input/LocalControlPolicy.h"

#include <cmath>

namespace orvane {

LocalControlPolicy::LocalControlPolicy(double graceWindow)
    : graceWindow_(std::isfinite(graceWindow) ? graceWindow : kDefaultGraceWindow) {}

void LocalControlPolicy::setGraceWindow(double seconds) {
  if (std::isfinite(seconds)) graceWindow_ = seconds;
}

void LocalControlPolicy::noteLocalInput(double at) {
  if (std::isfinite(at)) lastLocalInputAt_ = at;
}

bool LocalControlPolicy::isLocalRecentlyActive(double now) const { return now - lastLocalInputAt_ < graceWindow_; }

bool LocalControlPolicy::localHasControl(double now) const {
  return injectionDisabled_ || isLocalRecentlyActive(now);
}

}  // namespace orvane
