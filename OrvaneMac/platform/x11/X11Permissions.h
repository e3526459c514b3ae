#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "OrvaneCore/permissions/PermissionsPort.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// Whether the desktop session is a Wayland one (XDG_SESSION_TYPE=wayland, or
// WAYLAND_DISPLAY set): there the X display is only a compatibility server
// that can neither show nor drive the real desktop.
bool waylandSession(const char* sessionType, const char* waylandDisplay);
bool waylandSession();

// The two permissions on X11. "Accessibility" is input control: XTest to
// inject and XInput 2.2 to tell the person's input from ours. "Screen
// Recording" is screen capture: the root window can be read. Nobody grants
// either, so requests and settings links do nothing; the popover explains
// what is missing instead. In a Wayland session neither is granted. Main
// loop only.
class X11Permissions final : public PermissionsPort {
 public:
  static constexpr const char* kWaylandExplanation =
      "This is a Wayland session, which Orvane does not support yet. Log out and choose an X11 (Xorg) session at "
      "the login screen.";

  struct Options {
    // Re-executes the host; the program knows how.
    std::function<void()> relaunch;
    bool wayland = waylandSession();
  };

  X11Permissions(X11Display& display, Options options) : x_(display), options_(std::move(options)) {}

  bool accessibilityTrusted() const override;
  bool screenRecordingAllowed() const override;
  void requestAccessibility() override {}
  void requestScreenRecording() override {}
  void openSettingsLink(std::string_view) override {}
  void relaunch() override {
    if (options_.relaunch) options_.relaunch();
  }

  // What keeps the host from working here, in words for the popover; empty
  // when nothing does.
  std::string missingExplanation() const;

 private:
  X11Display& x_;
  Options options_;
};

}  // namespace orvane::x11
