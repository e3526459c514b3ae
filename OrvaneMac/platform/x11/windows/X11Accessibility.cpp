#include "OrvaneMac/platform/x11/windows/X11Accessibility.h"

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace orvane::x11 {

// What an element stands for; only ids, so an element outlives the port.
class X11Accessibility::Element final : public AXUIElement {
 public:
  enum class Kind { systemWide, application, window, zoomButton, closeButton };
  Element(Kind kind, std::int32_t pid, ::Window window) : kind(kind), pid(pid), window(window) {}
  const Kind kind;
  const std::int32_t pid;  // of an application
  const ::Window window;   // of a window or a button
};

namespace {

constexpr double kMaxCoordinate = 32767;  // X positions and sizes are 16-bit
constexpr int kPollMilliseconds = 5;

double clampCoordinate(double v) { return std::round(std::clamp(v, -kMaxCoordinate, kMaxCoordinate)); }
double clampLength(double v) { return std::round(std::clamp(v, 1.0, kMaxCoordinate)); }

template <typename T>
AXResult<AXValue> some(T value) {
  return {kAXErrorSuccess, AXValue(std::move(value))};
}
AXResult<AXValue> fail(AXError error) { return {error, {}}; }

std::string_view subroleOf(WindowType type) {
  switch (type) {
    case WindowType::normal: return "AXStandardWindow";
    case WindowType::dialog: return "AXDialog";
    case WindowType::utility:
    case WindowType::menu: return "AXFloatingWindow";
    case WindowType::notification:
    case WindowType::dock: return "AXSystemFloatingWindow";
    default: return "AXUnknown";
  }
}

bool contains(const Rect& r, Point p) { return p.x >= r.minX() && p.x < r.maxX() && p.y >= r.minY() && p.y < r.maxY(); }

bool movable(WindowType type) { return type != WindowType::desktop && type != WindowType::dock; }

// A predicate for XCheckIfEvent that never takes an event: it only notes
// whether the window was configured since `serial`, leaving the queue to the
// main loop's handlers.
struct ConfigurePeek {
  ::Window window;
  unsigned long serial;
  bool seen = false;
};
Bool peekConfigure(Display*, XEvent* event, XPointer arg) {
  auto* peek = reinterpret_cast<ConfigurePeek*>(arg);
  if (event->type == ConfigureNotify && event->xconfigure.window == peek->window &&
      event->xany.serial >= peek->serial) {
    peek->seen = true;
  }
  return False;
}

}  // namespace

AXError axErrorFromX(int xError) {
  switch (xError) {
    case Success: return kAXErrorSuccess;
    case BadWindow:
    case BadDrawable: return kAXErrorInvalidUIElement;
    case BadValue:
    case BadMatch: return kAXErrorIllegalArgument;
    default: return kAXErrorFailure;
  }
}

// Focus changes from AT-SPI, activations from the root's _NET_ACTIVE_WINDOW.
class X11Accessibility::Observer final : public AXObserver {
 public:
  Observer(X11Accessibility& owner, std::int32_t pid, ObserverCallback callback)
      : owner_(owner), pid_(pid), callback_(std::move(callback)) {}
  ~Observer() override {
    if (handler_) owner_.x_.removeEventHandler(handler_);
  }

  AXError addNotification(const AXElement&, std::string_view notification) override {
    if (notification == kAXFocusedUIElementChangedNotification) {
      auto subscription = owner_.focus_->observeFocus(pid_, [this] { notify(kAXFocusedUIElementChangedNotification); });
      if (!subscription) return kAXErrorCannotComplete;
      subscriptions_.push_back(std::move(subscription));
      return kAXErrorSuccess;
    }
    if (notification == kAXApplicationActivatedNotification) {
      if (handler_) return kAXErrorSuccess;
      owner_.selectInput(owner_.x_.root(), PropertyChangeMask);
      activePid_ = owner_.windows_.pid(owner_.windows_.activeWindow());
      handler_ = owner_.x_.addEventHandler([this](const XEvent& event) { onEvent(event); });
      return kAXErrorSuccess;
    }
    return kAXErrorNotificationUnsupported;
  }

 private:
  void onEvent(const XEvent& event) {
    if (event.type != PropertyNotify || event.xproperty.window != owner_.x_.root() ||
        event.xproperty.atom != owner_.x_.atom("_NET_ACTIVE_WINDOW")) {
      return;
    }
    const std::int32_t previous = std::exchange(activePid_, owner_.windows_.pid(owner_.windows_.activeWindow()));
    if (activePid_ == pid_ && previous != pid_) notify(kAXApplicationActivatedNotification);
  }
  void notify(std::string_view notification) { callback_(owner_.applicationElement(pid_), notification); }

  X11Accessibility& owner_;
  const std::int32_t pid_;
  ObserverCallback callback_;
  std::vector<std::unique_ptr<Subscription>> subscriptions_;
  int handler_ = 0;
  std::int32_t activePid_ = 0;
};

X11Accessibility::X11Accessibility(X11Display& display, const Clock& clock, AtSpiFocus* focus, Options options)
    : x_(display), clock_(clock), focus_(focus), options_(std::move(options)), windows_(display), requests_(display) {}

X11Accessibility::~X11Accessibility() = default;

bool X11Accessibility::isProcessTrusted() { return options_.trusted ? options_.trusted() : !x_.broken(); }

AXElement X11Accessibility::applicationElement(std::int32_t pid) {
  return std::make_shared<Element>(Element::Kind::application, pid, 0);
}

AXElement X11Accessibility::systemWideElement() { return std::make_shared<Element>(Element::Kind::systemWide, 0, 0); }

AXElement X11Accessibility::windowElement(::Window window) {
  return std::make_shared<Element>(Element::Kind::window, 0, window);
}

// --- Attributes

AXResult<AXValue> X11Accessibility::copyAttributeValue(const AXElement& element, std::string_view attribute) {
  if (x_.broken()) return fail(kAXErrorFailure);
  if (const auto* node = dynamic_cast<const AccessibleNode*>(element.get())) return nodeAttribute(*node, attribute);
  const auto* e = dynamic_cast<const Element*>(element.get());
  if (!e) return fail(kAXErrorIllegalArgument);
  switch (e->kind) {
    case Element::Kind::systemWide:
      if (attribute == kAXRoleAttribute) return some(std::string("AXSystemWide"));
      if (attribute == kAXFocusedUIElementAttribute) {
        if (!focus_) return fail(kAXErrorNoValue);
        const auto focused = focus_->focusedElement();
        return {focused.error, focused.ok() ? AXValue(focused.value) : AXValue()};
      }
      return fail(kAXErrorAttributeUnsupported);
    case Element::Kind::application: return applicationAttribute(e->pid, attribute);
    case Element::Kind::window: return windowAttribute(e->window, attribute);
    case Element::Kind::zoomButton:
    case Element::Kind::closeButton: return buttonAttribute(*e, attribute);
  }
  return fail(kAXErrorIllegalArgument);
}

AXResult<AXValue> X11Accessibility::applicationAttribute(std::int32_t pid, std::string_view attribute) {
  if (attribute == kAXRoleAttribute) return some(std::string("AXApplication"));
  if (attribute == kAXWindowsAttribute) {
    std::vector<AXElement> list;
    for (::Window window : windowsOf(pid)) list.push_back(windowElement(window));
    return some(std::move(list));
  }
  if (attribute == kAXFocusedWindowAttribute) {
    const auto window = focusedWindow(pid);
    return window ? some(windowElement(*window)) : fail(kAXErrorNoValue);
  }
  if (attribute == kAXTitleAttribute) {
    for (::Window id : windowsOf(pid)) {
      if (auto window = windows_.read(id)) return some(identify(*window, options_.applications).name);
    }
    return fail(kAXErrorNoValue);
  }
  return fail(kAXErrorAttributeUnsupported);
}

AXResult<AXValue> X11Accessibility::windowAttribute(::Window id, std::string_view attribute) {
  int error = Success;
  if (attribute == kAXPositionAttribute || attribute == kAXSizeAttribute) {
    const auto geometry = windows_.geometry(id, &error);
    if (!geometry) return fail(axErrorFromX(error));
    return attribute == kAXPositionAttribute ? some(geometry->frame.origin) : some(geometry->frame.size);
  }
  const bool known = attribute == kAXRoleAttribute || attribute == kAXSubroleAttribute ||
                     attribute == kAXTitleAttribute || attribute == kAXWindowAttribute ||
                     attribute == kAXParentAttribute || attribute == kAXMinimizedAttribute ||
                     attribute == kAXZoomButtonAttribute || attribute == kAXCloseButtonAttribute;
  if (!known) return fail(kAXErrorAttributeUnsupported);
  if (const int missing = windows_.check(id); missing != Success) return fail(axErrorFromX(missing));
  if (attribute == kAXRoleAttribute) return some(std::string(kAXWindowRole));
  if (attribute == kAXSubroleAttribute) return some(std::string(subroleOf(windows_.type(id))));
  if (attribute == kAXTitleAttribute) {
    auto title = x_.text(id, "_NET_WM_NAME");
    if (!title) title = x_.text(id, "WM_NAME");
    return some(title.value_or(""));
  }
  if (attribute == kAXWindowAttribute) return some(windowElement(id));
  if (attribute == kAXParentAttribute) return some(applicationElement(windows_.pid(id)));
  if (attribute == kAXMinimizedAttribute) {
    const auto window = windows_.read(id, &error);
    return window ? some(window->minimized) : fail(axErrorFromX(error));
  }
  const auto kind = attribute == kAXZoomButtonAttribute ? Element::Kind::zoomButton : Element::Kind::closeButton;
  return some(AXElement(std::make_shared<Element>(kind, 0, id)));
}

AXResult<AXValue> X11Accessibility::buttonAttribute(const Element& button, std::string_view attribute) {
  if (const int missing = windows_.check(button.window); missing != Success) return fail(axErrorFromX(missing));
  if (attribute == kAXRoleAttribute) return some(std::string("AXButton"));
  if (attribute == kAXSubroleAttribute) {
    return some(
        std::string(button.kind == Element::Kind::zoomButton ? kAXZoomButtonAttribute : kAXCloseButtonAttribute));
  }
  if (attribute == kAXWindowAttribute || attribute == kAXParentAttribute) return some(windowElement(button.window));
  return fail(kAXErrorAttributeUnsupported);
}

AXResult<AXValue> X11Accessibility::nodeAttribute(const AccessibleNode& node, std::string_view attribute) {
  if (attribute == kAXRoleAttribute) return some(node.role());
  if (attribute == kAXParentAttribute) return some(applicationElement(node.pid()));
  if (attribute == kAXWindowAttribute) {
    const auto window = focusedWindow(node.pid());
    return window ? some(windowElement(*window)) : fail(kAXErrorNoValue);
  }
  return fail(kAXErrorAttributeUnsupported);
}

AXResult<bool> X11Accessibility::isAttributeSettable(const AXElement& element, std::string_view attribute) {
  const auto* e = dynamic_cast<const Element*>(element.get());
  if (x_.broken()) return {kAXErrorFailure, false};
  if (!e || e->kind != Element::Kind::window) return {kAXErrorSuccess, false};
  if (const int missing = windows_.check(e->window); missing != Success) return {axErrorFromX(missing), false};
  if (attribute == kAXMinimizedAttribute) return {kAXErrorSuccess, true};
  if (attribute != kAXPositionAttribute && attribute != kAXSizeAttribute) return {kAXErrorSuccess, false};
  if (!movable(windows_.type(e->window))) return {kAXErrorSuccess, false};
  return {kAXErrorSuccess, attribute == kAXPositionAttribute || !windows_.fixedSize(e->window)};
}

AXError X11Accessibility::setAttributeValue(const AXElement& element, std::string_view attribute,
                                            const AXValue& value) {
  if (x_.broken()) return kAXErrorFailure;
  const auto* e = dynamic_cast<const Element*>(element.get());
  if (!e) return kAXErrorIllegalArgument;
  if (e->kind != Element::Kind::window) return kAXErrorAttributeUnsupported;
  if (attribute == kAXPositionAttribute) {
    const Point* p = std::get_if<Point>(&value);
    if (!p || !std::isfinite(p->x) || !std::isfinite(p->y)) return kAXErrorIllegalArgument;
    return placeFrame(e->window, Point{clampCoordinate(p->x), clampCoordinate(p->y)}, std::nullopt);
  }
  if (attribute == kAXSizeAttribute) {
    const Size* s = std::get_if<Size>(&value);
    if (!s || !std::isfinite(s->width) || !std::isfinite(s->height)) return kAXErrorIllegalArgument;
    return placeFrame(e->window, std::nullopt, Size{clampLength(s->width), clampLength(s->height)});
  }
  if (attribute == kAXMinimizedAttribute) {
    const bool* minimized = std::get_if<bool>(&value);
    if (!minimized) return kAXErrorIllegalArgument;
    if (const int missing = windows_.check(e->window); missing != Success) return axErrorFromX(missing);
    if (*minimized) {
      requests_.iconify(e->window);
    } else {
      requests_.activate(e->window, windows_.activeWindow());
    }
    return kAXErrorSuccess;
  }
  return kAXErrorAttributeUnsupported;
}

AXError X11Accessibility::placeFrame(::Window window, std::optional<Point> origin, std::optional<Size> size) {
  int error = Success;
  const auto before = windows_.geometry(window, &error);
  if (!before) return axErrorFromX(error);
  Rect target = before->frame;
  if (origin) target.origin = *origin;
  if (size) target.size = *size;
  // Selected before the request, so the window manager's answer cannot be missed.
  selectInput(window, StructureNotifyMask);
  const unsigned long serial = NextRequest(x_.get());
  requests_.moveResize(window, *before, origin, size);
  waitForPlacement(window, target, before->frame, serial);
  return x_.broken() ? kAXErrorFailure : kAXErrorSuccess;
}

// The window manager answers the request in its own time. The port is
// synchronous in its callers' view (they read the frame back at once), so
// wait: until the frame is the one asked for, or until the window manager has
// configured the window and placed it elsewhere (size hints, a minimum size,
// a screen edge), or until the settle timeout.
void X11Accessibility::waitForPlacement(::Window window, const Rect& target, const Rect& before, unsigned long serial) {
  const double deadline = clock_.uptime() + options_.settleTimeout;
  for (;;) {
    ConfigurePeek peek{window, serial};
    XEvent unused;
    XCheckIfEvent(x_.get(), &unused, &peekConfigure, reinterpret_cast<XPointer>(&peek));
    const auto now = windows_.geometry(window);
    if (!now || now->frame == target || (peek.seen && now->frame != before)) return;
    const double left = deadline - clock_.uptime();
    if (left <= 0 || x_.broken()) return;
    pollfd fd{x_.fd(), POLLIN, 0};
    poll(&fd, 1, std::min(kPollMilliseconds, static_cast<int>(std::ceil(left * 1000))));
  }
}

void X11Accessibility::selectInput(::Window window, long mask) {
  XWindowAttributes attributes;
  Status status = 0;
  x_.trap([&] { status = XGetWindowAttributes(x_.get(), window, &attributes); });
  // Other ports on this connection may select on the same window: add to
  // what the connection already selects.
  if (status && (attributes.your_event_mask & mask) != mask) {
    XSelectInput(x_.get(), window, attributes.your_event_mask | mask);
  }
}

// --- Actions

AXError X11Accessibility::performAction(const AXElement& element, std::string_view action) {
  if (x_.broken()) return kAXErrorFailure;
  const auto* e = dynamic_cast<const Element*>(element.get());
  if (!e) {
    return dynamic_cast<const AccessibleNode*>(element.get()) ? kAXErrorActionUnsupported : kAXErrorIllegalArgument;
  }
  const bool onWindow = e->kind == Element::Kind::window && action == kAXRaiseAction;
  const bool onButton =
      (e->kind == Element::Kind::zoomButton || e->kind == Element::Kind::closeButton) && action == kAXPressAction;
  if (!onWindow && !onButton) return kAXErrorActionUnsupported;
  int error = Success;
  const auto window = windows_.read(e->window, &error);
  if (!window) return axErrorFromX(error);
  if (e->kind == Element::Kind::window) {
    requests_.activate(e->window, windows_.activeWindow());
    requests_.raise(e->window);
  } else if (e->kind == Element::Kind::zoomButton) {
    requests_.setMaximized(e->window, !window->maximized);
  } else {
    requests_.close(e->window);
  }
  return kAXErrorSuccess;
}

// --- Hit testing and processes

AXResult<AXElement> X11Accessibility::elementAtPosition(const AXElement& root, float x, float y) {
  const auto* e = dynamic_cast<const Element*>(root.get());
  if (!e || !std::isfinite(x) || !std::isfinite(y)) return {kAXErrorIllegalArgument, nullptr};
  if (x_.broken()) return {kAXErrorFailure, nullptr};
  if (e->kind == Element::Kind::systemWide) return windowAt(Point{x, y}, std::nullopt);
  if (e->kind != Element::Kind::application) return {kAXErrorIllegalArgument, nullptr};
  if (focus_) return focus_->elementAtPoint(e->pid, x, y);
  return windowAt(Point{x, y}, e->pid);
}

// The front window at the point, as it is seen on the screen; a point over
// the desktop or a panel has no application window.
AXResult<AXElement> X11Accessibility::windowAt(Point point, std::optional<std::int32_t> pid) {
  for (::Window id : windows_.stacking()) {
    const auto geometry = windows_.geometry(id);
    if (!geometry || !geometry->viewable || !contains(geometry->frame, point)) continue;
    const auto window = windows_.read(id);
    if (!window || !window->onScreen) continue;
    if (!movable(window->type)) return {kAXErrorNoValue, nullptr};
    if (pid && window->pid != *pid) continue;
    return {kAXErrorSuccess, windowElement(id)};
  }
  return {kAXErrorNoValue, nullptr};
}

AXResult<std::int32_t> X11Accessibility::pid(const AXElement& element) {
  if (const auto* node = dynamic_cast<const AccessibleNode*>(element.get())) return {kAXErrorSuccess, node->pid()};
  const auto* e = dynamic_cast<const Element*>(element.get());
  if (!e || e->kind == Element::Kind::systemWide) return {kAXErrorIllegalArgument, 0};
  if (e->kind == Element::Kind::application) return {kAXErrorSuccess, e->pid};
  if (const int missing = windows_.check(e->window); missing != Success) return {axErrorFromX(missing), 0};
  const std::int32_t owner = windows_.pid(e->window);
  return {owner > 0 ? kAXErrorSuccess : kAXErrorFailure, owner};
}

std::vector<::Window> X11Accessibility::windowsOf(std::int32_t pid) {
  std::vector<::Window> list;
  if (pid <= 0) return list;
  for (::Window id : windows_.stacking()) {
    if (windows_.pid(id) == pid) list.push_back(id);
  }
  return list;
}

std::optional<::Window> X11Accessibility::focusedWindow(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  if (const ::Window active = windows_.activeWindow(); active && windows_.pid(active) == pid) return active;
  const auto list = windowsOf(pid);
  if (list.empty()) return std::nullopt;
  return list.front();
}

std::unique_ptr<AXObserver> X11Accessibility::createObserver(std::int32_t pid, ObserverCallback callback) {
  if (!focus_ || pid < 1 || x_.broken()) return nullptr;
  return std::make_unique<Observer>(*this, pid, std::move(callback));
}

}  // namespace orvane::x11
