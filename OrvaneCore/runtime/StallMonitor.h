#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/SourceOrigin.h"

namespace orvane {

// Times the callbacks an executor runs. One that holds the executor's thread
// longer than the threshold is a stall: the input it injects, the guard it
// runs and every other session waited meanwhile. Each origin is logged once;
// every stall is counted.
class StallMonitor {
 public:
  // Under the sanitizers every callback runs several times slower.
#if defined(ORVANE_CHECK_THREADS)
  static constexpr Seconds kDefaultThreshold{0.100};
#else
  static constexpr Seconds kDefaultThreshold{0.020};
#endif
  // Distinct origins logged; later ones are only counted.
  static constexpr std::size_t kMaxReportedOrigins = 64;

  // $ORVANE_STALL_MS: the threshold in milliseconds, 0 turning the check off.
  // Unset or unreadable: the default.
  static std::optional<Seconds> thresholdFromEnvironment();
  static std::optional<Seconds> thresholdFrom(const char* milliseconds);

  StallMonitor(const Clock& clock, std::optional<Seconds> threshold, LogSink& sink = systemLogSink());

  template <typename Fn>
  void run(const SourceOrigin& origin, Fn&& fn) {
    if (!threshold_) {
      fn();
      return;
    }
    const double start = clock_.uptime();
    fn();
    const double took = clock_.uptime() - start;
    if (took > threshold_->count()) report(origin, took);
  }

  std::uint64_t stalls() const { return stalls_.load(); }
  std::optional<Seconds> threshold() const { return threshold_; }

 private:
  void report(const SourceOrigin& origin, double seconds);

  const Clock& clock_;
  const std::optional<Seconds> threshold_;
  const Logger log_;
  std::atomic<std::uint64_t> stalls_{0};
  std::mutex mutex_;  // guards reported_
  std::set<std::pair<std::string, std::uint_least32_t>> reported_;
};

}  // namespace orvane
