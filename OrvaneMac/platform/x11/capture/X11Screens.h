#pragma once

#include <optional>

#include "OrvaneMac/platform/Screens.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// The main display (the first of x11Displays) and the part of it the window
// manager leaves to windows (_NET_WORKAREA of the current desktop), turned
// into the port's bottom-left, y-up coordinates. Main loop only.
class X11Screens final : public Screens {
 public:
  explicit X11Screens(X11Display& x) : x_(x) {}
  std::optional<Screen> mainScreen() override;

  // `workArea` (root coordinates, y down) within the main display `main`, in
  // the port's coordinates: the whole display when the two do not overlap.
  static Rect visibleFrame(const Rect& main, const std::optional<Rect>& workArea);

 private:
  std::optional<Rect> workArea();

  X11Display& x_;
};

}  // namespace orvane::x11
