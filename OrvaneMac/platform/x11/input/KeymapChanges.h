#pragma once

#include <X11/Xlib.h>

#include <optional>

#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// Keyboard map changes on a connection. Xlib speaks XKB to every server that
// has it, and such a client hears of map changes only when it asks XKB for
// them: construction asks (other bits of the connection's XKB selection stay).
class KeymapChanges {
 public:
  explicit KeymapChanges(X11Display& display);

  struct Change {
    bool everything = false;  // a new keyboard, or key types: any key may type otherwise now
    int firstKeycode = 0;     // otherwise the keycodes whose symbols changed
    int count = 0;
    bool modifiers = false;  // the modifier map changed
  };
  // What `event` says changed; nothing for other events.
  std::optional<Change> of(const XEvent& event) const;

 private:
  std::optional<int> xkbEventBase_;
};

}  // namespace orvane::x11
