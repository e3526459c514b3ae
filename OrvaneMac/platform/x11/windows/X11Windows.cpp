#include "OrvaneMac/platform/x11/windows/X11Windows.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace orvane::x11 {
namespace {

constexpr unsigned long kAllDesktops = 0xFFFFFFFF;
constexpr unsigned long kIconicState = 3;  // WM_STATE

constexpr std::pair<std::string_view, WindowType> kTypes[] = {
    {"_NET_WM_WINDOW_TYPE_NORMAL", WindowType::normal},
    {"_NET_WM_WINDOW_TYPE_DIALOG", WindowType::dialog},
    {"_NET_WM_WINDOW_TYPE_UTILITY", WindowType::utility},
    {"_NET_WM_WINDOW_TYPE_TOOLBAR", WindowType::utility},
    {"_NET_WM_WINDOW_TYPE_SPLASH", WindowType::splash},
    {"_NET_WM_WINDOW_TYPE_MENU", WindowType::menu},
    {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", WindowType::popup},
    {"_NET_WM_WINDOW_TYPE_POPUP_MENU", WindowType::popup},
    {"_NET_WM_WINDOW_TYPE_COMBO", WindowType::popup},
    {"_NET_WM_WINDOW_TYPE_TOOLTIP", WindowType::popup},
    {"_NET_WM_WINDOW_TYPE_DND", WindowType::popup},
    {"_NET_WM_WINDOW_TYPE_NOTIFICATION", WindowType::notification},
    {"_NET_WM_WINDOW_TYPE_DOCK", WindowType::dock},
    {"_NET_WM_WINDOW_TYPE_DESKTOP", WindowType::desktop},
};

bool has(const std::vector<Atom>& atoms, Atom atom) {
  return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

}  // namespace

std::int32_t layerOf(WindowType type) {
  switch (type) {
    case WindowType::normal:
    case WindowType::dialog: return kNormalLayer;
    case WindowType::utility:
    case WindowType::splash:
    case WindowType::menu: return kFloatingLayer;
    case WindowType::popup:
    case WindowType::notification: return kPopupLayer;
    case WindowType::dock: return kDockLayer;
    case WindowType::desktop: return kDesktopLayer;
  }
  return kNormalLayer;
}

ApplicationIdentity identify(const ClientWindow& window, const ApplicationLookup& lookup) {
  if (lookup) {
    if (auto found = lookup(window.resClass, window.resInstance)) return *found;
  }
  const std::string& name = window.resClass.empty() ? window.resInstance : window.resClass;
  return {name, name};
}

std::vector<::Window> X11Windows::stacking() {
  // Bottom to top in the property; callers want the front first.
  auto ids = x_.windows(x_.root(), "_NET_CLIENT_LIST_STACKING");
  if (!ids) ids = x_.windows(x_.root(), "_NET_CLIENT_LIST");
  if (!ids) return {};
  std::reverse(ids->begin(), ids->end());
  return *ids;
}

std::optional<std::vector<ClientWindow>> X11Windows::list() {
  if (check(x_.root()) != Success) return std::nullopt;
  std::vector<ClientWindow> windows;
  for (::Window id : stacking()) {
    // A window closed since the list was read is simply left out.
    if (auto window = read(id)) windows.push_back(std::move(*window));
  }
  if (x_.broken()) return std::nullopt;
  return windows;
}

int X11Windows::check(::Window window) {
  XWindowAttributes attributes;
  Status status = 0;
  const int error = x_.trap([&] { status = XGetWindowAttributes(x_.get(), window, &attributes); });
  if (error != Success) return error;
  return status ? Success : BadWindow;
}

std::optional<X11Windows::Geometry> X11Windows::geometry(::Window window, int* error) {
  XWindowAttributes attributes;
  Status status = 0;
  Bool translated = False;
  int rootX = 0, rootY = 0;
  ::Window child = 0;
  const int failure = x_.trap([&] {
    status = XGetWindowAttributes(x_.get(), window, &attributes);
    translated = XTranslateCoordinates(x_.get(), window, x_.root(), 0, 0, &rootX, &rootY, &child);
  });
  if (failure != Success || !status || !translated) {
    if (error) *error = failure != Success ? failure : BadWindow;
    return std::nullopt;
  }
  Geometry g;
  g.extents = extents(window);
  // The translated origin is inside the border; the frame starts outside it.
  g.border = attributes.border_width;
  const double border = g.border;
  g.frame = Rect(rootX - border - g.extents.left, rootY - border - g.extents.top,
                 attributes.width + 2 * border + g.extents.left + g.extents.right,
                 attributes.height + 2 * border + g.extents.top + g.extents.bottom);
  g.viewable = attributes.map_state == IsViewable;
  return g;
}

FrameExtents X11Windows::extents(::Window window) {
  const auto values = x_.cardinals(window, "_NET_FRAME_EXTENTS");
  if (!values || values->size() < 4) return {};
  auto side = [&](std::size_t i) { return static_cast<long>(std::min<unsigned long>((*values)[i], 0x7FFF)); };
  return {side(0), side(1), side(2), side(3)};
}

std::int32_t X11Windows::pid(::Window window) {
  const auto values = x_.cardinals(window, "_NET_WM_PID");
  if (!values || values->empty() ||
      (*values)[0] > static_cast<unsigned long>(std::numeric_limits<std::int32_t>::max())) {
    return 0;
  }
  return static_cast<std::int32_t>((*values)[0]);
}

::Window X11Windows::activeWindow() {
  const auto values = x_.windows(x_.root(), "_NET_ACTIVE_WINDOW");
  return values && !values->empty() ? values->front() : 0;
}

std::vector<Atom> X11Windows::atoms(::Window window, std::string_view property) {
  auto values = x_.cardinals(window, property, XA_ATOM);
  if (!values) return {};
  return std::vector<Atom>(values->begin(), values->end());
}

WindowType X11Windows::type(::Window window) {
  // The first type the host knows wins: the list goes from most to least preferred.
  for (Atom atom : atoms(window, "_NET_WM_WINDOW_TYPE")) {
    for (const auto& [name, type] : kTypes) {
      if (x_.atom(name) == atom) return type;
    }
  }
  ::Window owner = 0;
  Status transient = 0;
  x_.trap([&] { transient = XGetTransientForHint(x_.get(), window, &owner); });
  return transient ? WindowType::dialog : WindowType::normal;
}

bool X11Windows::fixedSize(::Window window) {
  XSizeHints hints{};
  long supplied = 0;
  Status status = 0;
  x_.trap([&] { status = XGetWMNormalHints(x_.get(), window, &hints, &supplied); });
  return status && (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == hints.max_width &&
         hints.min_height == hints.max_height;
}

std::optional<ClientWindow> X11Windows::read(::Window id, int* error) {
  auto g = geometry(id, error);
  if (!g) return std::nullopt;
  ClientWindow window;
  window.id = id;
  window.frame = g->frame;
  window.extents = g->extents;
  window.title = x_.text(id, "_NET_WM_NAME");
  if (!window.title) window.title = x_.text(id, "WM_NAME");
  window.pid = pid(id);
  XClassHint hint{};
  Status classed = 0;
  x_.trap([&] { classed = XGetClassHint(x_.get(), id, &hint); });
  if (classed) {
    if (hint.res_name) window.resInstance = hint.res_name;
    if (hint.res_class) window.resClass = hint.res_class;
  }
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  window.type = type(id);

  const auto state = atoms(id, "_NET_WM_STATE");
  const auto wmState = x_.cardinals(id, "WM_STATE", x_.atom("WM_STATE"));
  window.minimized =
      has(state, x_.atom("_NET_WM_STATE_HIDDEN")) || (wmState && !wmState->empty() && (*wmState)[0] == kIconicState);
  window.maximized =
      has(state, x_.atom("_NET_WM_STATE_MAXIMIZED_VERT")) && has(state, x_.atom("_NET_WM_STATE_MAXIMIZED_HORZ"));
  // Without desktops published, every window is on the one there is.
  const auto desktop = x_.cardinals(id, "_NET_WM_DESKTOP");
  const auto current = x_.cardinals(x_.root(), "_NET_CURRENT_DESKTOP");
  // Xlib widens format-32 data with the sign: compare 32-bit values only.
  const bool onCurrentDesktop = !desktop || desktop->empty() || !current || current->empty() ||
                                ((*desktop)[0] & kAllDesktops) == kAllDesktops || (*desktop)[0] == (*current)[0];
  window.onScreen = g->viewable && onCurrentDesktop && !window.minimized;
  return window;
}

}  // namespace orvane::x11
