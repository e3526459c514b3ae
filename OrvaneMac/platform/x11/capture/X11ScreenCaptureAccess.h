#pragma once

#include "OrvaneMac/platform/ScreenCaptureAccess.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// On X11 any client may read the screen unless the server refuses it (an
// access-control extension, a broken connection): the answer is whether one
// root pixel can be read now. There is nobody to ask, so request() only
// checks again. Main loop only.
class X11ScreenCaptureAccess final : public ScreenCaptureAccess {
 public:
  // `refused`: the screen is known to be out of reach whatever the X server
  // answers (the compatibility server of a Wayland session).
  explicit X11ScreenCaptureAccess(X11Display& x, bool refused = false) : x_(x), refused_(refused) {}
  bool preflight() override;
  bool request() override { return preflight(); }

 private:
  X11Display& x_;
  const bool refused_;
};

}  // namespace orvane::x11
