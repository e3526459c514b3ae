#pragma once

#include <functional>
#include <string_view>

namespace orvane {

// Where the popover sends the user to grant each permission.
inline constexpr std::string_view kAccessibilitySettingsLink =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
inline constexpr std::string_view kScreenRecordingSettingsLink =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

// What the host knows about its two permissions, plus the one fact the system
// does not report: Screen Recording was requested in this run and only takes
// effect after a restart. Main thread only.
class PermissionsModel {
 public:
  bool accessibilityGranted() const { return accessibilityGranted_; }
  bool screenRecordingGranted() const { return screenRecordingGranted_; }
  bool screenRecordingNeedsRelaunch() const { return screenRecordingNeedsRelaunch_; }
  bool allReady() const { return accessibilityGranted_ && screenRecordingGranted_; }

  // Stores what the system reports. Seeing Screen Recording granted means the
  // pending restart, if any, has happened.
  void apply(bool accessibility, bool screenRecording);
  // Has no effect once Screen Recording is granted: there is nothing to restart for.
  void markScreenRecordingRelaunchNeeded();

  // Called once after a call that changed any of the three flags.
  std::function<void()> onChange;

 private:
  void set(bool accessibility, bool screenRecording, bool needsRelaunch);

  bool accessibilityGranted_ = false;
  bool screenRecordingGranted_ = false;
  bool screenRecordingNeedsRelaunch_ = false;
};

}  // namespace orvane
