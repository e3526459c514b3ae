#include "OrvaneCore/peer/ConnectTimer.h"

#include <chrono>
#include <cstdint>

namespace orvane {

ConnectTimer::ConnectTimer(std::string backendLabel, const Clock& clock, LogSink& sink)
    : backendLabel_(std::move(backendLabel)), clock_(clock), log_("com.kelbrin.Orvane.Core", "timing", sink) {}

void ConnectTimer::start() { t0_ = clock_.wallNow(); }

void ConnectTimer::connected() {
  if (!t0_) return;
  // duration_cast truncates toward zero, as the measurement is defined.
  const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.wallNow() - *t0_).count();
  log_.info("backend=%{public}s connect=%{public}ldms", backendLabel_, ms);
  t0_.reset();
}

}  // namespace orvane
