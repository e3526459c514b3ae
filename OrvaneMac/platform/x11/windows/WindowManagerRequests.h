#pragma once

#include <X11/Xlib.h>

#include <optional>

#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// Asks the window manager to change client windows, through the EWMH client
// messages a pager sends (source indication 2: the user asked for it, so no
// focus-stealing rule holds it back). Requests are sent, never awaited: the
// window manager answers in its own time.
class WindowManagerRequests {
 public:
  explicit WindowManagerRequests(X11Display& display) : x_(display) {}
  ~WindowManagerRequests();
  WindowManagerRequests(const WindowManagerRequests&) = delete;
  WindowManagerRequests& operator=(const WindowManagerRequests&) = delete;

  // Puts the frame's top-left corner at `origin` and gives the frame `size`
  // (decorations included), either or both; values must already fit X's
  // 16-bit coordinates. A frame too small for its decorations gets a client
  // of one pixel.
  void moveResize(::Window window, const X11Windows::Geometry& now, std::optional<Point> origin,
                  std::optional<Size> size);
  // Makes the window the active one (switching desktop and de-iconifying).
  void activate(::Window window, ::Window currentlyActive);
  // Puts the window on top of its stacking layer.
  void raise(::Window window);
  void iconify(::Window window);
  void setMaximized(::Window window, bool maximized);
  void close(::Window window);

  // A current server timestamp: the time of a property change on a window of
  // our own. CurrentTime when it cannot be had.
  Time serverTime();

 private:
  X11Display& x_;
  ::Window clock_ = 0;  // an unmapped input-only window, made on first use
};

}  // namespace orvane::x11
