#pragma once

#include <limits>

namespace orvane {

// Whether the person at the desktop currently has control, and so whether the
// injector may post a remote event. All times are seconds of system uptime.
//
// Time values that are not finite (a clock or caller bug) are refused rather
// than stored: an infinite input time or grace window would otherwise keep the
// local user "active" for ever and wedge remote control until a restart.
class LocalControlPolicy {
 public:
  static constexpr double kDefaultGraceWindow = 2.0;
  // Before any local input; any finite "now" is then long past the grace window.
  static constexpr double kNeverInput = std::numeric_limits<double>::lowest();

  // A non-finite grace window falls back to the default.
  explicit LocalControlPolicy(double graceWindow = kDefaultGraceWindow);

  double graceWindow() const { return graceWindow_; }
  // Ignored when not finite.
  void setGraceWindow(double seconds);
  // The emergency stop: pauses injection whatever the time.
  bool injectionDisabled() const { return injectionDisabled_; }
  void setInjectionDisabled(bool disabled) { injectionDisabled_ = disabled; }
  double lastLocalInputAt() const { return lastLocalInputAt_; }

  // Ignored when `at` is not finite.
  void noteLocalInput(double at);
  bool isLocalRecentlyActive(double now) const;
  bool localHasControl(double now) const;
  bool allowsInjection(double now) const { return !localHasControl(now); }

  bool operator==(const LocalControlPolicy&) const = default;

 private:
  double graceWindow_;
  bool injectionDisabled_ = false;
  double lastLocalInputAt_ = kNeverInput;
};

}  // namespace orvane
