#include "OrvaneMac/input/InputInjector.h"

#include <cmath>
#include <vector>

#include "OrvaneMac/input/GraphemeClusters.h"

namespace orvane {
namespace {

struct Modifier {
  CGKeyCode key;
  CGEventFlags flag;
};

Modifier modifier(ModifierKey key) {
  switch (key) {
    case ModifierKey::cmd: return {55, kCGEventFlagMaskCommand};
    case ModifierKey::shift: return {56, kCGEventFlagMaskShift};
    case ModifierKey::alt: return {58, kCGEventFlagMaskAlternate};
    case ModifierKey::ctrl: return {59, kCGEventFlagMaskControl};
  }
  return {0, 0};
}

// Left is the left button; every other button, middle included, is the right.
struct ButtonTypes {
  CGMouseButton button;
  CGEventType down, up, dragged;
};

ButtonTypes buttonTypes(MouseButton button) {
  if (button == MouseButton::left) return {0, kCGEventLeftMouseDown, kCGEventLeftMouseUp, kCGEventLeftMouseDragged};
  return {1, kCGEventRightMouseDown, kCGEventRightMouseUp, kCGEventRightMouseDragged};
}

// A scaled scroll amount truncated towards zero, or nothing when it is not a
// finite value of the signed 32-bit range.
std::optional<std::int32_t> wheelValue(double delta) {
  const double scaled = std::trunc(delta * InputInjector::kScrollMultiplier);
  if (!(scaled >= -2147483648.0 && scaled <= 2147483647.0)) return std::nullopt;
  return static_cast<std::int32_t>(scaled);
}

constexpr CGKeyCode kVirtualKeyF = 3;
constexpr CGKeyCode kVirtualKeyUpArrow = 126;
constexpr CGKeyCode kVirtualKeyControl = 59;
constexpr CGKeyCode kVirtualKeyCommand = 55;

// NX_KEYTYPE_* of the media keys.
constexpr int kKeyTypeSoundUp = 0;
constexpr int kKeyTypeSoundDown = 1;
constexpr int kKeyTypeBrightnessUp = 2;
constexpr int kKeyTypeBrightnessDown = 3;
constexpr int kKeyTypeMute = 7;

}  // namespace

InputInjector::InputInjector(Executor& mainQueue, EventPoster& events, Accessibility& ax, Screens& screens,
                             ProcessInfo& process, LogSink& log)
    : queue_(mainQueue),
      events_(events),
      ax_(ax),
      screens_(screens),
      process_(process),
      windowLog_("com.kelbrin.Orvane.Mac", "window", log),
      console_(log) {}

Size InputInjector::mainScreenSize() {
  if (auto screen = screens_.mainScreen()) return screen->frame.size;
  return kFallbackScreenSize;
}

// One handler per event kind; kinds that are not input fall to the template.
struct InputInjector::Dispatch {
  InputInjector& self;

  // Fractions of the main screen as a global point; nothing when the result
  // is not finite, as no system can place the cursor there.
  std::optional<Point> at(double x, double y) const {
    const Size screen = self.mainScreenSize();
    const Point p{x * screen.width, y * screen.height};
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
    return p;
  }

  void operator()(const events::MouseMoved& e) const {
    if (auto p = at(e.x, e.y)) self.postMouse(kCGEventMouseMoved, *p, 0);
  }
  void operator()(const events::MouseDown& e) const {
    auto p = at(e.x, e.y);
    if (!p) return;
    const ButtonTypes b = buttonTypes(e.button);
    self.postMouse(b.down, *p, b.button);
    if (self.guard_) self.guard_->heldMouseButtons().insert(b.button);
  }
  void operator()(const events::MouseUp& e) const {
    // A release is never lost: with no usable point it happens at the cursor.
    auto p = at(e.x, e.y);
    if (!p) p = self.events_.cursorLocation().value_or(Point{});
    const ButtonTypes b = buttonTypes(e.button);
    self.postMouse(b.up, *p, b.button);
    if (self.guard_) self.guard_->heldMouseButtons().erase(b.button);
  }
  void operator()(const events::MouseDragged& e) const {
    const ButtonTypes b = buttonTypes(e.button);
    if (auto p = at(e.x, e.y)) self.postMouse(b.dragged, *p, b.button);
  }
  void operator()(const events::MouseClicked& e) const {
    const ButtonTypes b = buttonTypes(e.button);
    if (auto p = at(e.x, e.y)) {
      self.postMouse(b.down, *p, b.button);
      self.postMouse(b.up, *p, b.button);
    }
  }
  void operator()(const events::DoubleClick& e) const {
    // Click states 1 then 2, so a receiver that counts clicks by the field
    // (as the title-bar double-click relies on) sees a double-click.
    const ButtonTypes b = buttonTypes(e.button);
    if (auto p = at(e.x, e.y)) {
      for (std::int64_t click = 1; click <= 2; ++click) {
        self.postMouse(b.down, *p, b.button, click);
        self.postMouse(b.up, *p, b.button, click);
      }
    }
  }
  void operator()(const events::MiddleClick& e) const {
    if (auto p = at(e.x, e.y)) {
      self.postMouse(kCGEventOtherMouseDown, *p, 2);
      self.postMouse(kCGEventOtherMouseUp, *p, 2);
    }
  }
  void operator()(const events::Scrolled& e) const {
    const auto vertical = wheelValue(e.deltaY);
    const auto horizontal = wheelValue(e.deltaX);
    if (vertical && horizontal) self.post(self.events_.createScrollWheelEvent(*vertical, *horizontal));
  }
  void operator()(const events::KeyEvent& e) const {
    // A key code no keyboard has is dropped whole, modifiers included.
    if (e.keyCode < 0 || e.keyCode > 0xFFFF) return;
    const auto key = static_cast<CGKeyCode>(e.keyCode);
    CGEventFlags flags = 0;
    for (ModifierKey m : e.modifiers) flags |= modifier(m).flag;
    auto* guardKeys = self.guard_ ? &self.guard_->heldKeyVKeys() : nullptr;
    if (e.isDown) {
      for (ModifierKey m : e.modifiers) {
        self.postKey(modifier(m).key, true, flags);
        if (guardKeys) guardKeys->insert(modifier(m).key);
      }
      self.postKey(key, true, flags);
      if (guardKeys) guardKeys->insert(key);
      return;
    }
    self.postKey(key, false, flags);
    if (guardKeys) guardKeys->erase(key);
    for (auto it = e.modifiers.rbegin(); it != e.modifiers.rend(); ++it) {
      self.postKey(modifier(*it).key, false, 0);
      if (guardKeys) guardKeys->erase(modifier(*it).key);
    }
  }
  void operator()(const events::TypeText& e) const { self.typeText(e.text); }
  void operator()(const events::VolumeUp&) const { self.postSystemKey(kKeyTypeSoundUp); }
  void operator()(const events::VolumeDown&) const { self.postSystemKey(kKeyTypeSoundDown); }
  void operator()(const events::Mute&) const { self.postSystemKey(kKeyTypeMute); }
  void operator()(const events::BrightnessUp&) const { self.postSystemKey(kKeyTypeBrightnessUp); }
  void operator()(const events::BrightnessDown&) const { self.postSystemKey(kKeyTypeBrightnessDown); }
  void operator()(const events::AppSwitchGesture&) const {
    self.postKey(kVirtualKeyControl, true, kCGEventFlagMaskControl);
    self.postKey(kVirtualKeyUpArrow, true, kCGEventFlagMaskControl);
    self.postKey(kVirtualKeyUpArrow, false, kCGEventFlagMaskControl);
    self.postKey(kVirtualKeyControl, false, 0);
  }
  void operator()(const events::ToggleFullScreen&) const {
    constexpr CGEventFlags both = kCGEventFlagMaskCommand | kCGEventFlagMaskControl;
    self.postKey(kVirtualKeyControl, true, both);
    self.postKey(kVirtualKeyCommand, true, both);
    self.postKey(kVirtualKeyF, true, both);
    self.postKey(kVirtualKeyF, false, both);
    self.postKey(kVirtualKeyCommand, false, 0);
    self.postKey(kVirtualKeyControl, false, 0);
  }
  void operator()(const events::EnlargeWindow&) const { self.scale(kEnlargeFactor); }
  void operator()(const events::ShrinkWindow&) const { self.scale(kShrinkFactor); }
  void operator()(const events::ResizeWindow& e) const { self.resize(e.width, e.height); }
  void operator()(const events::MoveWindow& e) const { self.move(e.x, e.y); }
  void operator()(const events::MinimizeWindow&) const { self.minimize(); }
  void operator()(const events::ZoomWindow&) const { self.zoom(); }
  void operator()(const events::CloseWindow&) const { self.close(); }
  void operator()(const events::TitleBarZoom&) const { self.titleBarZoom(); }
  template <typename NotInput>
  void operator()(const NotInput&) const {}
};

void InputInjector::inject(const ControlEvent& event) {
  if (guard_ && !event.isRelease() && !guard_->policy().allowsInjection(queue_.now())) return;
  std::visit(Dispatch{*this}, event.payload());
}

void InputInjector::typeText(std::string_view text) {
  for (std::u16string& character : graphemeClustersUtf16(text)) {
    for (bool down : {true, false}) {
      auto event = events_.createKeyboardEvent(0, down);
      if (event) event->unicode = character;
      post(std::move(event));
    }
  }
}

void InputInjector::postKey(CGKeyCode key, bool down, CGEventFlags flags) {
  auto event = events_.createKeyboardEvent(key, down);
  if (event) event->flags = flags;
  post(std::move(event));
}

void InputInjector::postMouse(CGEventType type, Point at, CGMouseButton button, std::int64_t clickState) {
  auto event = events_.createMouseEvent(type, at, button);
  if (event && clickState != 0) event->clickState = clickState;
  post(std::move(event));
}

// Media keys go straight out (inject() has let them through): nothing stays held.
void InputInjector::postSystemKey(int keyType) {
  for (std::int64_t phase : {0x0A00, 0x0B00}) {
    if (auto event = events_.createSystemDefinedEvent(kNXSubtypeAuxControlButtons, keyType * 65536 + phase, -1)) {
      events_.post(*event);
    }
  }
}

bool InputInjector::mayPost(const CGEvent& event) const {
  const bool release = event.type == kCGEventLeftMouseUp || event.type == kCGEventRightMouseUp ||
                       event.type == kCGEventOtherMouseUp || event.type == kCGEventKeyUp;
  return release || !guard_ || guard_->policy().allowsInjection(queue_.now());
}

void InputInjector::post(std::optional<CGEvent> event) {
  // Checked here, not only where tablet events come in: steps that post later
  // on their own (a launch, a click follow-up, a window operation) must yield
  // to a person at the computer too. Releases always go out, so nothing the
  // tablet pressed stays down.
  if (!event || !mayPost(*event)) return;
  switch (event->type) {
    case kCGEventLeftMouseDown: heldButtons_.insert(0); armWatchdog(); break;
    case kCGEventRightMouseDown: heldButtons_.insert(1); armWatchdog(); break;
    case kCGEventOtherMouseDown: heldButtons_.insert(2); armWatchdog(); break;
    case kCGEventLeftMouseUp: heldButtons_.erase(0); break;
    case kCGEventRightMouseUp: heldButtons_.erase(1); break;
    case kCGEventOtherMouseUp: heldButtons_.erase(2); break;
    case kCGEventLeftMouseDragged:
    case kCGEventRightMouseDragged:
    case kCGEventOtherMouseDragged: armWatchdog(); break;
    case kCGEventKeyDown: heldKeys_.insert(event->keyCode); armWatchdog(); break;
    case kCGEventKeyUp: heldKeys_.erase(event->keyCode); break;
    default: break;
  }
  if (guard_) event->userData = kInjectionMarker;
  events_.post(*event);
}

void InputInjector::armWatchdog() {
  // The handle cancels the timer with the injector: the weak hold.
  releaseWatchdog_ = queue_.postAfter(Seconds(kReleaseWatchdogDelay), [this] { releaseAllHeld(); });
}

void InputInjector::releaseAllHeld() {
  releaseWatchdog_.cancel();
  const Point at = events_.cursorLocation().value_or(Point{});
  // Copies: posting a release erases from the sets being walked.
  for (CGMouseButton button : std::vector(heldButtons_.begin(), heldButtons_.end())) {
    const CGEventType type = button == 0 ? kCGEventLeftMouseUp : button == 1 ? kCGEventRightMouseUp : kCGEventOtherMouseUp;
    post(events_.createMouseEvent(type, at, button));
  }
  for (CGKeyCode key : std::vector(heldKeys_.begin(), heldKeys_.end())) postKey(key, false, 0);
  heldButtons_.clear();
  heldKeys_.clear();
}

}  // namespace orvane
