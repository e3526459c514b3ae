#pragma once

#include <optional>

#include "OrvaneCore/protocol/Geometry.h"

namespace orvane {

// NSScreen's rectangles, in the platform's screen coordinates: origin at the
// bottom-left of the main screen, y upwards. Callers convert to the top-left
// display points that events and Accessibility use.
struct Screen {
  Rect frame;
  Rect visibleFrame;  // without the menu bar and docks
};

class Screens {
 public:
  virtual ~Screens() = default;
  // NSScreen.main; nothing when there is no screen.
  virtual std::optional<Screen> mainScreen() = 0;
};

}  // namespace orvane
