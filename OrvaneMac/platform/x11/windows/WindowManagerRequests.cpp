#include "OrvaneMac/platform/x11/windows/WindowManagerRequests.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>

namespace orvane::x11 {
namespace {

constexpr long kPagerSource = 2;
constexpr long kNorthWestGravity = 1;
constexpr long kMoveResizeX = 1 << 8, kMoveResizeY = 1 << 9, kMoveResizeWidth = 1 << 10, kMoveResizeHeight = 1 << 11;
constexpr long kStateRemove = 0, kStateAdd = 1;

}  // namespace

WindowManagerRequests::~WindowManagerRequests() {
  if (clock_ && !x_.broken()) XDestroyWindow(x_.get(), clock_);
}

void WindowManagerRequests::moveResize(::Window window, const X11Windows::Geometry& now, std::optional<Point> origin,
                                       std::optional<Size> size) {
  // With north-west gravity the position is the frame's outer corner, so the
  // decorations need no arithmetic there; the size asked for is the client's.
  long flags = kNorthWestGravity | kPagerSource << 12;
  long x = 0, y = 0, width = 0, height = 0;
  if (origin) {
    flags |= kMoveResizeX | kMoveResizeY;
    x = std::lround(origin->x);
    y = std::lround(origin->y);
  }
  if (size) {
    flags |= kMoveResizeWidth | kMoveResizeHeight;
    const long borders = 2L * now.border;
    width = std::max(1L, std::lround(size->width) - now.extents.left - now.extents.right - borders);
    height = std::max(1L, std::lround(size->height) - now.extents.top - now.extents.bottom - borders);
  }
  x_.sendRootMessage(window, "_NET_MOVERESIZE_WINDOW", {flags, x, y, width, height});
}

void WindowManagerRequests::activate(::Window window, ::Window currentlyActive) {
  x_.sendRootMessage(window, "_NET_ACTIVE_WINDOW",
                     {kPagerSource, static_cast<long>(serverTime()), static_cast<long>(currentlyActive), 0, 0});
}

void WindowManagerRequests::raise(::Window window) {
  x_.sendRootMessage(window, "_NET_RESTACK_WINDOW", {kPagerSource, None, Above, 0, 0});
}

void WindowManagerRequests::iconify(::Window window) {
  XIconifyWindow(x_.get(), window, x_.screen());
  XFlush(x_.get());
}

void WindowManagerRequests::setMaximized(::Window window, bool maximized) {
  // Add or remove rather than toggle: toggling a window maximised one way
  // only would flip each direction on its own.
  x_.sendRootMessage(window, "_NET_WM_STATE",
                     {maximized ? kStateAdd : kStateRemove, static_cast<long>(x_.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
                      static_cast<long>(x_.atom("_NET_WM_STATE_MAXIMIZED_HORZ")), kPagerSource, 0});
}

void WindowManagerRequests::close(::Window window) {
  x_.sendRootMessage(window, "_NET_CLOSE_WINDOW", {static_cast<long>(serverTime()), kPagerSource, 0, 0, 0});
}

Time WindowManagerRequests::serverTime() {
  if (x_.broken()) return CurrentTime;
  Display* d = x_.get();
  if (!clock_) {
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    clock_ = XCreateWindow(d, x_.root(), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attributes);
  }
  // An empty append changes nothing but still reports the server's time.
  const Atom property = x_.atom("_ORVANE_SERVER_TIME");
  XChangeProperty(d, clock_, property, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XSync(d, False);
  XEvent event;
  while (XCheckTypedWindowEvent(d, clock_, PropertyNotify, &event)) {
    if (event.xproperty.atom == property) return event.xproperty.time;
  }
  return CurrentTime;
}

}  // namespace orvane::x11
