#pragma once

#include <string_view>

#include "OrvaneMac/platform/ScreenCaptureAccess.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// Pixels per point from the desktop's font resolution: Xft.dpi in the root's
// RESOURCE_MANAGER, over the 96 dpi of an unscaled desktop. Read afresh at
// every call, since desktops change it at run time. Main loop only.
class X11DisplayScale final : public DisplayScale {
 public:
  static constexpr double kBaseDpi = 96;
  static constexpr double kMinScale = 0.5;
  static constexpr double kMaxScale = 8;

  explicit X11DisplayScale(X11Display& x) : x_(x) {}
  double mainScreenBackingScaleFactor() override;

  // The scale an X resource database text gives: 1.0 without a usable Xft.dpi.
  static double scaleFromResources(std::string_view resources);

 private:
  X11Display& x_;
};

}  // namespace orvane::x11
