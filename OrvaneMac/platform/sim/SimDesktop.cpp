#include "OrvaneMac/platform/sim/SimDesktop.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace orvane {

struct SimDesktop::Handle final : AXUIElement {
  // A button is one of a window's title-bar buttons; `id` is the window.
  enum class Kind { systemWide, application, element, zoomButton, closeButton };
  Handle(Kind k, std::int32_t p, ElementId i) : kind(k), pid(p), id(i) {}
  Kind kind;
  std::int32_t pid;
  ElementId id;
};

struct SimDesktop::Tap {
  std::uint64_t mask = 0;
  std::function<void(const TappedEvent&)> callback;
  bool enabled = false;
  bool alive = true;
};

struct SimDesktop::Observer {
  std::int32_t pid = 0;
  ObserverCallback callback;
  std::set<std::string, std::less<>> notifications;
  bool alive = true;
};

struct SimDesktop::ActivationListener {
  std::function<void(std::optional<std::int32_t>)> callback;
  bool alive = true;
};

namespace {

// Handles only flag their shared state, so they may outlive the desktop.
class SimTapHandle final : public EventTap {
 public:
  explicit SimTapHandle(std::shared_ptr<SimDesktop::Tap> tap) : tap_(std::move(tap)) {}
  ~SimTapHandle() override { tap_->alive = tap_->enabled = false; }
  void setEnabled(bool enabled) override { tap_->enabled = enabled; }

 private:
  std::shared_ptr<SimDesktop::Tap> tap_;
};

class SimObserverHandle final : public AXObserver {
 public:
  explicit SimObserverHandle(std::shared_ptr<SimDesktop::Observer> observer) : observer_(std::move(observer)) {}
  ~SimObserverHandle() override { observer_->alive = false; }
  AXError addNotification(const AXElement&, std::string_view notification) override {
    observer_->notifications.emplace(notification);
    return kAXErrorSuccess;
  }

 private:
  std::shared_ptr<SimDesktop::Observer> observer_;
};

class SimSubscription final : public Subscription {
 public:
  explicit SimSubscription(std::shared_ptr<SimDesktop::ActivationListener> listener) : listener_(std::move(listener)) {}
  ~SimSubscription() override { listener_->alive = false; }

 private:
  std::shared_ptr<SimDesktop::ActivationListener> listener_;
};

bool isMouseType(CGEventType type) {
  return (type >= kCGEventLeftMouseDown && type <= kCGEventRightMouseDragged) ||
         (type >= kCGEventOtherMouseDown && type <= kCGEventOtherMouseDragged);
}

bool contains(const Rect& r, Point p) { return p.x >= r.minX() && p.x < r.maxX() && p.y >= r.minY() && p.y < r.maxY(); }

template <typename T>
void prune(std::vector<std::shared_ptr<T>>& list) {
  std::erase_if(list, [](const auto& entry) { return !entry->alive; });
}

}  // namespace

SimDesktop::ElementId SimDesktop::addWindow(std::int32_t pid, std::string title, Rect frame) {
  const ElementId id = nextId_++;
  Element& e = elements_[id];
  e.id = id;
  e.pid = pid;
  e.role = kAXWindowRole;
  e.subrole = "AXStandardWindow";
  e.title = std::move(title);
  e.frame = frame;
  windowOrder_.insert(windowOrder_.begin(), id);
  return id;
}

SimDesktop::ElementId SimDesktop::addElement(ElementId parent, std::string role, Rect frame, std::string title) {
  const std::int32_t pid = element(parent).pid;
  const ElementId id = nextId_++;
  Element& e = elements_[id];
  e.id = id;
  e.pid = pid;
  e.parent = parent;
  e.role = std::move(role);
  e.title = std::move(title);
  e.frame = frame;
  return id;
}

SimDesktop::Element& SimDesktop::element(ElementId id) {
  auto it = elements_.find(id);
  if (it == elements_.end()) throw std::out_of_range("SimDesktop: no element " + std::to_string(id));
  return it->second;
}

Rect SimDesktop::globalFrame(ElementId id) const {
  const Element& e = elements_.at(id);
  if (e.parent == 0) return e.frame;
  const Rect parent = globalFrame(e.parent);
  return Rect(parent.origin.x + e.frame.origin.x, parent.origin.y + e.frame.origin.y, e.frame.size.width,
              e.frame.size.height);
}

AXElement SimDesktop::axElement(ElementId id) const {
  return std::make_shared<Handle>(Handle::Kind::element, elements_.at(id).pid, id);
}

SimDesktop::ElementId SimDesktop::idOf(const AXElement& element) const {
  const Handle* h = handle(element);
  return h && h->kind == Handle::Kind::element ? h->id : 0;
}

void SimDesktop::focus(ElementId id) {
  const Element& e = element(id);
  focused_[e.pid] = id;
  notifyObservers(e.pid, kAXFocusedUIElementChangedNotification, id);
}

void SimDesktop::activate(std::int32_t pid) {
  frontmost_ = pid;
  prune(activationListeners_);
  for (const auto& listener : activationListeners_) {
    queue_.post([listener, pid] {
      if (listener->alive) listener->callback(pid);
    });
  }
  notifyObservers(pid, kAXApplicationActivatedNotification, 0);
}

void SimDesktop::localInput(CGEvent event) {
  if (isMouseType(event.type)) cursor = event.location;
  deliverToTaps(TappedEvent{event.type, event.userData}, false);
}

void SimDesktop::disableTaps(CGEventType reason) {
  for (const auto& tap : taps_) tap->enabled = false;
  deliverToTaps(TappedEvent{reason, 0}, true);
}

bool SimDesktop::tapEnabled() const {
  return std::any_of(taps_.begin(), taps_.end(), [](const auto& tap) { return tap->alive && tap->enabled; });
}

std::optional<CGEvent> SimDesktop::create(CGEvent event) {
  if (refuseCreation && refuseCreation(event)) return std::nullopt;
  return event;
}

std::optional<Point> SimDesktop::cursorLocation() {
  if (cursorUnavailable) return std::nullopt;
  return cursor;
}

void SimDesktop::post(const CGEvent& event) {
  posted_.push_back(event);
  if (isMouseType(event.type)) cursor = event.location;
  if (!taps_.empty()) deliverToTaps(TappedEvent{event.type, event.userData}, false);
}

void SimDesktop::deliverToTaps(const TappedEvent& event, bool evenIfDisabled) {
  prune(taps_);
  for (const auto& tap : taps_) {
    const bool wanted = evenIfDisabled || (event.type < 64 && (tap->mask >> event.type & 1) != 0);
    if (!wanted || !(evenIfDisabled || tap->enabled)) continue;
    queue_.post([tap, event, evenIfDisabled] {
      if (tap->alive && (evenIfDisabled || tap->enabled)) tap->callback(event);
    });
  }
}

std::unique_ptr<EventTap> SimDesktop::createListenOnlyTap(std::uint64_t mask,
                                                          std::function<void(const TappedEvent&)> callback) {
  if (tapRefused) return nullptr;
  auto tap = std::make_shared<Tap>();
  tap->mask = mask;
  tap->callback = std::move(callback);
  taps_.push_back(tap);
  return std::make_unique<SimTapHandle>(tap);
}

std::unique_ptr<Subscription> SimDesktop::observeApplicationActivation(
    std::function<void(std::optional<std::int32_t>)> callback) {
  auto listener = std::make_shared<ActivationListener>();
  listener->callback = std::move(callback);
  activationListeners_.push_back(listener);
  return std::make_unique<SimSubscription>(listener);
}

// --- Accessibility

const SimDesktop::Handle* SimDesktop::handle(const AXElement& element) const {
  return dynamic_cast<const Handle*>(element.get());
}

std::optional<AXError> SimDesktop::configuredError(AXCall call, std::string_view attribute) const {
  if (!trusted) return kAXErrorAPIDisabled;
  for (std::string_view key : {attribute, std::string_view()}) {
    auto it = axErrors_.find({call, std::string(key)});
    if (it != axErrors_.end()) return it->second;
  }
  return std::nullopt;
}

const SimDesktop::App* SimDesktop::app(std::int32_t pid) const {
  auto it = std::find_if(apps_.begin(), apps_.end(), [pid](const App& a) { return a.pid == pid; });
  return it == apps_.end() ? nullptr : &*it;
}

SimDesktop::ElementId SimDesktop::windowOf(ElementId id) const {
  while (id != 0) {
    const Element& e = elements_.at(id);
    if (e.role == kAXWindowRole) return id;
    id = e.parent;
  }
  return 0;
}

AXElement SimDesktop::applicationElement(std::int32_t pid) {
  return std::make_shared<Handle>(Handle::Kind::application, pid, 0);
}

AXElement SimDesktop::systemWideElement() { return std::make_shared<Handle>(Handle::Kind::systemWide, 0, 0); }

AXResult<AXValue> SimDesktop::copyAttributeValue(const AXElement& element, std::string_view attribute) {
  if (auto error = configuredError(AXCall::copy, attribute)) return {*error, {}};
  const Handle* h = handle(element);
  if (!h) return {kAXErrorIllegalArgument, {}};
  return this->attribute(*h, attribute);
}

AXResult<AXValue> SimDesktop::attribute(const Handle& h, std::string_view name) {
  auto some = [](auto v) { return AXResult<AXValue>{kAXErrorSuccess, AXValue(std::move(v))}; };
  auto element = [&](ElementId id) {
    return id == 0 ? AXResult<AXValue>{kAXErrorNoValue, {}} : some(axElement(id));
  };
  switch (h.kind) {
    case Handle::Kind::systemWide:
      if (name == kAXRoleAttribute) return some(std::string("AXSystemWide"));
      if (name == kAXFocusedUIElementAttribute) return element(frontmost_ ? focused_[*frontmost_] : 0);
      return {kAXErrorAttributeUnsupported, {}};
    case Handle::Kind::application: {
      const App* a = app(h.pid);
      if (!a) return {kAXErrorCannotComplete, {}};
      if (name == kAXRoleAttribute) return some(std::string("AXApplication"));
      if (name == kAXTitleAttribute) return some(a->name);
      if (name == kAXFocusedUIElementAttribute) return element(focused_[h.pid]);
      if (name == kAXFocusedWindowAttribute) return element(windowOf(focused_[h.pid]));
      if (name == kAXWindowsAttribute) {
        std::vector<AXElement> windows;
        for (ElementId id : windowOrder_) {
          if (elements_.at(id).pid == h.pid) windows.push_back(axElement(id));
        }
        return some(std::move(windows));
      }
      return {kAXErrorAttributeUnsupported, {}};
    }
    case Handle::Kind::zoomButton:
    case Handle::Kind::closeButton: {
      if (!elements_.count(h.id) || elements_.at(h.id).closed) return {kAXErrorInvalidUIElement, {}};
      if (name == kAXRoleAttribute) return some(std::string("AXButton"));
      if (name == kAXSubroleAttribute) {
        return some(std::string(h.kind == Handle::Kind::zoomButton ? kAXZoomButtonAttribute : kAXCloseButtonAttribute));
      }
      if (name == kAXWindowAttribute || name == kAXParentAttribute) return element(h.id);
      return {kAXErrorAttributeUnsupported, {}};
    }
    case Handle::Kind::element:
      break;
  }
  auto it = elements_.find(h.id);
  if (it == elements_.end() || it->second.closed) return {kAXErrorInvalidUIElement, {}};
  const Element& e = it->second;
  const bool isWindow = e.role == kAXWindowRole;
  if (isWindow && name == kAXMinimizedAttribute) return some(e.minimized);
  if (isWindow && (name == kAXZoomButtonAttribute || name == kAXCloseButtonAttribute)) {
    const auto kind = name == kAXZoomButtonAttribute ? Handle::Kind::zoomButton : Handle::Kind::closeButton;
    return some(AXElement(std::make_shared<Handle>(kind, e.pid, e.id)));
  }
  if (name == kAXRoleAttribute) return some(e.role);
  if (name == kAXSubroleAttribute) return e.subrole.empty() ? AXResult<AXValue>{kAXErrorNoValue, {}} : some(e.subrole);
  if (name == kAXTitleAttribute) return some(e.title);
  if (name == kAXPositionAttribute) return some(globalFrame(e.id).origin);
  if (name == kAXSizeAttribute) return some(e.frame.size);
  if (name == kAXParentAttribute) return e.parent ? element(e.parent) : some(applicationElement(e.pid));
  if (name == kAXWindowAttribute && !isWindow && e.hasWindowAttribute) return element(windowOf(e.id));
  return {kAXErrorAttributeUnsupported, {}};
}

AXError SimDesktop::setAttributeValue(const AXElement& element, std::string_view attribute, const AXValue& value) {
  if (auto error = configuredError(AXCall::set, attribute)) return *error;
  const Handle* h = handle(element);
  if (!h || h->kind != Handle::Kind::element) return kAXErrorIllegalArgument;
  auto it = elements_.find(h->id);
  if (it == elements_.end() || it->second.closed) return kAXErrorInvalidUIElement;
  Element& e = it->second;
  if (attribute == kAXMinimizedAttribute && e.role == kAXWindowRole) {
    const bool* minimized = std::get_if<bool>(&value);
    if (!minimized) return kAXErrorIllegalArgument;
    e.minimized = *minimized;
  } else if (attribute == kAXPositionAttribute) {
    const Point* p = std::get_if<Point>(&value);
    if (!p) return kAXErrorIllegalArgument;
    const Point parent = e.parent ? globalFrame(e.parent).origin : Point{};
    e.frame.origin = {p->x - parent.x, p->y - parent.y};
  } else if (attribute == kAXSizeAttribute) {
    const Size* s = std::get_if<Size>(&value);
    if (!s) return kAXErrorIllegalArgument;
    if (!e.sizeSettable) return kAXErrorAttributeUnsupported;
    e.frame.size = *s;
  } else {
    return kAXErrorAttributeUnsupported;
  }
  return kAXErrorSuccess;
}

AXResult<bool> SimDesktop::isAttributeSettable(const AXElement& element, std::string_view attribute) {
  if (auto error = configuredError(AXCall::settable, attribute)) return {*error, false};
  const Handle* h = handle(element);
  if (!h || h->kind != Handle::Kind::element || !elements_.count(h->id)) return {kAXErrorSuccess, false};
  if (attribute == kAXPositionAttribute) return {kAXErrorSuccess, true};
  if (attribute == kAXSizeAttribute) return {kAXErrorSuccess, elements_.at(h->id).sizeSettable};
  return {kAXErrorSuccess, false};
}

SimDesktop::ElementId SimDesktop::hitTest(std::optional<std::int32_t> pid, Point p) const {
  for (ElementId window : windowOrder_) {
    if ((pid && elements_.at(window).pid != *pid) || !contains(globalFrame(window), p)) continue;
    ElementId best = window;
    for (bool deeper = true; deeper;) {
      deeper = false;
      // Later children are drawn above earlier ones.
      for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) {
        if (it->second.parent == best && contains(globalFrame(it->first), p)) {
          best = it->first;
          deeper = true;
          break;
        }
      }
    }
    return best;
  }
  return 0;
}

AXResult<AXElement> SimDesktop::elementAtPosition(const AXElement& root, float x, float y) {
  if (auto error = configuredError(AXCall::elementAtPosition, {})) return {*error, {}};
  const Handle* h = handle(root);
  if (!h || h->kind == Handle::Kind::element || !std::isfinite(x) || !std::isfinite(y)) {
    return {kAXErrorIllegalArgument, {}};
  }
  if (h->kind == Handle::Kind::application && !app(h->pid)) return {kAXErrorCannotComplete, {}};
  const auto scope = h->kind == Handle::Kind::application ? std::optional(h->pid) : std::nullopt;
  const ElementId hit = hitTest(scope, Point{x, y});
  if (hit == 0) return {kAXErrorNoValue, {}};
  return {kAXErrorSuccess, axElement(hit)};
}

AXResult<std::int32_t> SimDesktop::pid(const AXElement& element) {
  if (auto error = configuredError(AXCall::pid, {})) return {*error, 0};
  const Handle* h = handle(element);
  if (!h || h->kind == Handle::Kind::systemWide) return {kAXErrorIllegalArgument, 0};
  return {kAXErrorSuccess, h->pid};
}

AXError SimDesktop::performAction(const AXElement& element, std::string_view action) {
  if (auto error = configuredError(AXCall::perform, action)) return *error;
  const Handle* h = handle(element);
  if (h && (h->kind == Handle::Kind::zoomButton || h->kind == Handle::Kind::closeButton)) {
    auto it = elements_.find(h->id);
    if (it == elements_.end() || it->second.closed) return kAXErrorInvalidUIElement;
    if (action != kAXPressAction) return kAXErrorActionUnsupported;
    if (h->kind == Handle::Kind::zoomButton) {
      it->second.zoomed = !it->second.zoomed;
    } else {
      it->second.closed = true;
      std::erase(windowOrder_, h->id);
    }
    return kAXErrorSuccess;
  }
  const ElementId id = idOf(element);
  auto it = std::find(windowOrder_.begin(), windowOrder_.end(), id);
  if (action != kAXRaiseAction || it == windowOrder_.end()) return kAXErrorActionUnsupported;
  std::rotate(windowOrder_.begin(), it, it + 1);
  return kAXErrorSuccess;
}

std::unique_ptr<AXObserver> SimDesktop::createObserver(std::int32_t pid, ObserverCallback callback) {
  const App* a = app(pid);
  if (!trusted || !a || !a->observable) return nullptr;
  prune(observers_);
  auto observer = std::make_shared<Observer>();
  observer->pid = pid;
  observer->callback = std::move(callback);
  observers_.push_back(observer);
  return std::make_unique<SimObserverHandle>(observer);
}

void SimDesktop::notifyObservers(std::int32_t pid, std::string_view notification, ElementId element) {
  for (const auto& observer : observers_) {
    if (!observer->alive || observer->pid != pid || !observer->notifications.count(notification)) continue;
    AXElement target = element ? axElement(element) : applicationElement(pid);
    queue_.post([observer, target, name = std::string(notification)] {
      if (observer->alive) observer->callback(target, name);
    });
  }
}

}  // namespace orvane
