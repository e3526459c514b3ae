#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/protocol/Geometry.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// _NET_WM_WINDOW_TYPE as far as the host tells windows apart. Unset is normal,
// or dialog for a transient window.
enum class WindowType { normal, dialog, utility, splash, menu, popup, notification, dock, desktop };

// Stacking layers in the sense of window levels: 0 for application windows,
// above it panels and popups, far below everything the desktop.
inline constexpr std::int32_t kNormalLayer = 0;
inline constexpr std::int32_t kFloatingLayer = 3;  // utility, toolbar, torn-off menu, splash
inline constexpr std::int32_t kDockLayer = 20;
inline constexpr std::int32_t kPopupLayer = 101;  // dropdown and popup menus, tooltips, notifications
inline constexpr std::int32_t kDesktopLayer = -2147483623;
std::int32_t layerOf(WindowType type);

// What the window manager adds around a client window (_NET_FRAME_EXTENTS).
struct FrameExtents {
  long left = 0, right = 0, top = 0, bottom = 0;
  bool operator==(const FrameExtents&) const = default;
};

// One window the window manager manages. `id` is the client window (the one
// the application created), `frame` is in root coordinates with the
// decorations included.
struct ClientWindow {
  ::Window id = 0;
  Rect frame;
  FrameExtents extents;
  std::optional<std::string> title;
  std::int32_t pid = 0;  // 0: the window names no process
  std::string resInstance;
  std::string resClass;
  WindowType type = WindowType::normal;
  bool minimized = false;  // iconic or hidden
  bool maximized = false;  // both ways
  bool onScreen = false;   // viewable, on the current desktop and not minimized
};

// An application as people know it: its name and an identifier.
struct ApplicationIdentity {
  std::string name;
  std::string id;
};
// The installed application a window class belongs to, if any.
using ApplicationLookup =
    std::function<std::optional<ApplicationIdentity>(std::string_view resClass, std::string_view resInstance)>;
// The lookup's answer, else the window's class (its instance when it has none)
// as both name and identifier.
ApplicationIdentity identify(const ClientWindow& window, const ApplicationLookup& lookup);

// Reads what the window manager publishes (EWMH) about the windows it
// manages. Every read goes to the server: nothing is cached.
class X11Windows {
 public:
  explicit X11Windows(X11Display& display) : x_(display) {}

  // The client windows front to back; nothing when the root cannot be read.
  // Without a window manager that publishes its list the list is empty.
  std::optional<std::vector<ClientWindow>> list();
  // The client window ids front to back (from _NET_CLIENT_LIST_STACKING).
  std::vector<::Window> stacking();
  // Everything about one window; `error` gets the X error when it is gone.
  std::optional<ClientWindow> read(::Window window, int* error = nullptr);
  // Where the window is (fewer requests than read()).
  struct Geometry {
    Rect frame;  // decorations included
    FrameExtents extents;
    int border = 0;  // of the client window itself
    bool viewable = false;
  };
  std::optional<Geometry> geometry(::Window window, int* error = nullptr);
  FrameExtents extents(::Window window);
  std::int32_t pid(::Window window);
  // _NET_ACTIVE_WINDOW; 0 when none.
  ::Window activeWindow();
  // The X error of asking for the window's attributes: Success while it exists.
  int check(::Window window);
  // Whether the window's client asks for one fixed size (min = max size hints).
  bool fixedSize(::Window window);
  WindowType type(::Window window);

 private:
  std::vector<Atom> atoms(::Window window, std::string_view property);

  X11Display& x_;
};

}  // namespace orvane::x11
