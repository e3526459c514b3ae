#include "OrvaneMac/platform/x11/X11Permissions.h"

#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <cstring>

#include "OrvaneMac/platform/x11/capture/X11ScreenCaptureAccess.h"
#include "OrvaneMac/platform/x11/input/X11InputProbe.h"

namespace orvane::x11 {

bool waylandSession(const char* sessionType, const char* waylandDisplay) {
  return (sessionType && std::strcmp(sessionType, "wayland") == 0) || (waylandDisplay && *waylandDisplay);
}

bool waylandSession() { return waylandSession(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY")); }

// Under Wayland the X server at hand is the compatibility one: its input
// reaches X clients only and its root window shows nothing of the desktop.
bool X11Permissions::accessibilityTrusted() const { return !options_.wayland && x11InputAvailable(x_); }

bool X11Permissions::screenRecordingAllowed() const {
  return X11ScreenCaptureAccess(x_, options_.wayland).preflight();
}

std::string X11Permissions::missingExplanation() const {
  if (options_.wayland) return kWaylandExplanation;
  if (x_.broken()) return "The connection to the X server was lost. Restart Orvane inside an X11 session.";
  std::string missing;
  int event = 0, error = 0, major = 0, minor = 0;
  const bool xtest = XTestQueryExtension(x_.get(), &event, &error, &major, &minor);
  const bool xinput = xinput22Available(x_);
  if (!xtest || !xinput) {
    const char* lacking = !xtest && !xinput ? "XTest and XInput 2.2" : !xtest ? "XTest" : "XInput 2.2";
    missing += "Input control needs the X server's XTest and XInput 2.2 extensions; this server lacks ";
    missing += lacking;
    missing += ".";
  }
  if (!X11ScreenCaptureAccess(x_).preflight()) {
    if (!missing.empty()) missing += "\n";
    missing +=
        "Screen capture needs to read the screen, and this X server refuses it (an access-control "
        "policy such as SELinux X or a restricted client).";
  }
  return missing;
}

}  // namespace orvane::x11
