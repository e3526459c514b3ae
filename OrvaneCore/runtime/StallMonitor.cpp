#include "OrvaneCore/runtime/StallMonitor.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace orvane {

std::optional<Seconds> StallMonitor::thresholdFromEnvironment() {
  return thresholdFrom(std::getenv("ORVANE_STALL_MS"));
}

std::optional<Seconds> StallMonitor::thresholdFrom(const char* milliseconds) {
  if (!milliseconds || !*milliseconds) return kDefaultThreshold;
  unsigned value = 0;
  const char* end = milliseconds + std::strlen(milliseconds);
  const auto [last, error] = std::from_chars(milliseconds, end, value);
  if (error != std::errc() || last != end || value > 60'000) return kDefaultThreshold;
  if (value == 0) return std::nullopt;
  return Seconds(value / 1000.0);
}

StallMonitor::StallMonitor(const Clock& clock, std::optional<Seconds> threshold, LogSink& sink)
    : clock_(clock), threshold_(threshold), log_("com.kelbrin.Orvane.Core", "stall", sink) {}

void StallMonitor::report(const SourceOrigin& origin, double seconds) {
  ++stalls_;
  {
    std::lock_guard lock(mutex_);
    if (reported_.size() >= kMaxReportedOrigins) return;
    if (!reported_.emplace(origin.file_name(), origin.line()).second) return;
  }
  log_.error("main loop stalled %{public}ld ms in a callback posted at %{public}s:%{public}ld (%{public}s)",
             static_cast<long>(seconds * 1000.0), origin.file_name(), static_cast<long>(origin.line()),
             origin.function_name());
}

}  // namespace orvane
