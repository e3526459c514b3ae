#pragma once

#include <chrono>

namespace orvane {

// Durations are seconds as doubles throughout: the protocol's timings (2.05 s,
// 0.15 s, 0.5 s back-off) are fractional and read best that way.
using Seconds = std::chrono::duration<double>;
using WallTime = std::chrono::system_clock::time_point;

// The two notions of "now" the system uses: seconds of uptime for policy and
// timers, and wall-clock time for dates written into records and logs.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double uptime() const = 0;
  virtual WallTime wallNow() const = 0;
};

// Monotonic uptime (not counting suspend) and the system's calendar clock.
class SystemClock final : public Clock {
 public:
  double uptime() const override;
  WallTime wallNow() const override;
};

// Virtual time for tests: starts at a fixed instant and moves only when told.
class ManualClock final : public Clock {
 public:
  static constexpr double kStartUptime = 1000.0;

  double uptime() const override { return uptime_; }
  WallTime wallNow() const override {
    return wallStart_ + std::chrono::round<WallTime::duration>(Seconds(uptime_ - kStartUptime));
  }
  void advance(Seconds d) { uptime_ += d.count(); }
  void setUptime(double seconds) { uptime_ = seconds; }

 private:
  double uptime_ = kStartUptime;
  // 2026-01-01T00:00:00Z: a fixed calendar start keeps logged dates reproducible.
  WallTime wallStart_ = WallTime(std::chrono::seconds(1767225600));
};

}  // namespace orvane
