#include "OrvaneCore/runtime/Clock.h"

#include <time.h>

namespace orvane {

double SystemClock::uptime() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

}  // namespace orvane
