// The window operations of InputInjector, carried out through Accessibility:
// the window manager, not a click at a guessed spot, minimises, zooms and
// closes, since title-bar buttons sit wherever the theme puts them.

#include <charconv>
#include <cmath>
#include <limits>

#include "OrvaneMac/input/InputInjector.h"

namespace orvane {
namespace {

constexpr double kTitleBarY = 12;
constexpr double kMinScreenFraction = 0.3;
constexpr double kMaxScreenFraction = 0.95;
constexpr int kMaxParentLevels = 20;

// Truncation towards zero that cannot overflow: logged sizes come from other
// processes and may be anything.
std::int64_t truncated(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

// A coordinate of the retarget line: the truncated integer, or the value as
// written by the shortest float form when it has no integer.
std::string coordinateText(float v) {
  if (std::isfinite(v) && std::fabs(v) < 9.2e18f) return std::to_string(static_cast<std::int64_t>(v));
  if (std::isnan(v)) return "nan";
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

// Presses the window's button named by `attribute` (its zoom or close button).
AXError pressButton(Accessibility& ax, const AXElement& window, std::string_view attribute) {
  const auto value = ax.copyAttributeValue(window, attribute);
  if (!value.ok()) return value.error;
  const auto* button = std::get_if<AXElement>(&value.value);
  if (!button || !*button) return kAXErrorNoValue;
  return ax.performAction(*button, kAXPressAction);
}

// "<operation> window at (x,y)" at the captured frame's corner, with what
// went wrong appended at error level.
void logWindowOperation(const Logger& log, std::string_view operation, const Rect& frame, bool found,
                        AXError error) {
  const std::int64_t x = truncated(frame.minX()), y = truncated(frame.minY());
  if (!found) return log.error("%{public}s window at (%{public}ld,%{public}ld) FAIL no captured window", operation, x, y);
  if (error != kAXErrorSuccess) {
    return log.error("%{public}s window at (%{public}ld,%{public}ld) FAIL %{public}s", operation, x, y,
                     InputInjector::axErrorName(error));
  }
  log.info("%{public}s window at (%{public}ld,%{public}ld)", operation, x, y);
}

}  // namespace

std::string InputInjector::axErrorName(AXError code) {
  switch (code) {
    case kAXErrorSuccess: return "success(0)";
    case kAXErrorFailure: return "failure(-25200)";
    case kAXErrorIllegalArgument: return "illegalArgument(-25201)";
    case kAXErrorInvalidUIElement: return "invalidUIElement(-25202)";
    case kAXErrorCannotComplete: return "cannotComplete(-25204)";
    case kAXErrorAttributeUnsupported: return "attributeUnsupported(-25205)";
    case kAXErrorActionUnsupported: return "actionUnsupported(-25206)";
    case kAXErrorNotificationUnsupported: return "notificationUnsupported(-25207)";
    case kAXErrorNotImplemented: return "notImplemented(-25208)";
    case kAXErrorAPIDisabled: return "apiDisabled(-25211)";
    case kAXErrorNoValue: return "noValue(-25212)";
    case kAXErrorParameterizedAttributeUnsupported: return "parameterizedAttributeUnsupported(-25213)";
    case kAXErrorNotEnoughPrecision: return "notEnoughPrecision(-25214)";
    default: return "unknown(" + std::to_string(code) + ")";
  }
}

AXElement InputInjector::focusedCapturedWindow() {
  if (capturedAXWindow_) return capturedAXWindow_;
  if (!capturedWindowPID_) return nullptr;
  const AXElement app = ax_.applicationElement(*capturedWindowPID_);
  const auto focused = ax_.copyAttributeValue(app, kAXFocusedWindowAttribute);
  if (focused.ok()) {
    if (const auto* window = std::get_if<AXElement>(&focused.value); window && *window) return *window;
  }
  const auto windows = ax_.copyAttributeValue(app, kAXWindowsAttribute);
  const auto* list = std::get_if<std::vector<AXElement>>(&windows.value);
  windowLog_.error(
      "focusedCapturedWindow(pid=%{public}d) FAIL focusedWindow=%{public}s windows=%{public}s count=%{public}ld "
      "trusted=%{bool,public}d",
      *capturedWindowPID_, axErrorName(focused.error), axErrorName(windows.error),
      list ? static_cast<std::int64_t>(list->size()) : std::int64_t{-1}, ax_.isProcessTrusted());
  if (windows.ok() && list && !list->empty()) return list->front();
  return nullptr;
}

std::optional<Size> InputInjector::readSize(const AXElement& window) {
  const auto size = ax_.copyAttributeValue(window, kAXSizeAttribute);
  const auto* s = std::get_if<Size>(&size.value);
  if (!size.ok() || !s) return std::nullopt;
  return *s;
}

std::optional<Rect> InputInjector::readFrame(const AXElement& window) {
  const auto position = ax_.copyAttributeValue(window, kAXPositionAttribute);
  const auto* p = std::get_if<Point>(&position.value);
  const auto size = readSize(window);
  if (!position.ok() || !p || !size) return std::nullopt;
  return Rect(*p, *size);
}

std::string InputInjector::readText(const AXElement& element, std::string_view attribute) {
  const auto value = ax_.copyAttributeValue(element, attribute);
  const auto* text = std::get_if<std::string>(&value.value);
  return value.ok() && text ? *text : "?";
}

void InputInjector::resize(std::int64_t width, std::int64_t height) {
  const AXElement window = focusedCapturedWindow();
  if (!window) {
    const std::string pid = capturedWindowPID_ ? std::to_string(*capturedWindowPID_) : "nil";
    windowLog_.error("resize: NO captured window (pid=%{public}s axWin=%{bool,public}d) trusted=%{bool,public}d", pid,
                     capturedAXWindow_ != nullptr, ax_.isProcessTrusted());
    return;
  }
  const AXError error = ax_.setAttributeValue(
      window, kAXSizeAttribute, Size{static_cast<double>(width), static_cast<double>(height)});
  windowLog_.info(
      "resize → (%{public}ld×%{public}ld) setSize=%{public}d (0=success, -25204=AX not effective) "
      "trusted=%{bool,public}d",
      width, height, error, ax_.isProcessTrusted());
  refreshCapturedWindowFrame();
}

void InputInjector::move(std::int64_t x, std::int64_t y) {
  const AXElement window = focusedCapturedWindow();
  if (!window) return;
  const AXError error =
      ax_.setAttributeValue(window, kAXPositionAttribute, Point{static_cast<double>(x), static_cast<double>(y)});
  windowLog_.info("move → (%{public}ld,%{public}ld) setPos=%{public}d (0=success)", x, y, error);
  refreshCapturedWindowFrame();
}

void InputInjector::minimize() {
  if (!capturedWindowFrame_) return windowLog_.error("minimize: no window frame");
  const AXElement window = focusedCapturedWindow();
  const AXError error = window ? ax_.setAttributeValue(window, kAXMinimizedAttribute, true) : kAXErrorFailure;
  logWindowOperation(windowLog_, "minimize: iconify", *capturedWindowFrame_, window != nullptr, error);
}

void InputInjector::zoom() {
  if (!capturedWindowFrame_) return windowLog_.error("zoom: no window frame");
  const AXElement window = focusedCapturedWindow();
  const AXError error = window ? pressButton(ax_, window, kAXZoomButtonAttribute) : kAXErrorFailure;
  logWindowOperation(windowLog_, "zoom: maximize or restore", *capturedWindowFrame_, window != nullptr, error);
}

void InputInjector::close() {
  if (!capturedWindowFrame_) return windowLog_.error("close: no window frame");
  const AXElement window = focusedCapturedWindow();
  const AXError error = window ? pressButton(ax_, window, kAXCloseButtonAttribute) : kAXErrorFailure;
  logWindowOperation(windowLog_, "close: close", *capturedWindowFrame_, window != nullptr, error);
}

void InputInjector::titleBarZoom() {
  const AXElement window = focusedCapturedWindow();
  const auto current = window ? readFrame(window) : std::nullopt;
  const auto screen = screens_.mainScreen();
  if (current && screen) {
    if (preZoomFrame_) {
      const Rect restored = *preZoomFrame_;
      setFrame(window, restored);
      preZoomFrame_.reset();
      windowLog_.info("titleBarZoom: AX restore → %{public}ldx%{public}ld", truncated(restored.size.width),
                      truncated(restored.size.height));
    } else {
      preZoomFrame_ = current;
      // The visible frame counts y upwards from the bottom; windows from the top.
      const Rect& visible = screen->visibleFrame;
      setFrame(window, Rect(visible.minX(), screen->frame.height() - visible.maxY(), visible.width(), visible.height()));
      windowLog_.info("titleBarZoom: AX maximize (saved %{public}ldx%{public}ld)", truncated(current->size.width),
                      truncated(current->size.height));
    }
    return;
  }
  if (!capturedWindowFrame_) return windowLog_.error("titleBarZoom: no window frame");
  const Point p{capturedWindowFrame_->midX(), capturedWindowFrame_->minY() + kTitleBarY};
  click(0, 2, p);
  windowLog_.info("titleBarZoom: fallback double-click at (%{public}ld,%{public}ld)", truncated(p.x), truncated(p.y));
}

void InputInjector::scale(double factor) {
  const AXElement window = focusedCapturedWindow();
  if (!window) {
    const std::string pid = capturedWindowPID_ ? std::to_string(*capturedWindowPID_) : "nil";
    windowLog_.error("scale: NO captured window (pid=%{public}s axWin=%{bool,public}d)", pid,
                     capturedAXWindow_ != nullptr);
    return;
  }
  const auto current = readSize(window);
  if (!current || !(current->width > 0) || !(current->height > 0) || !std::isfinite(current->width) ||
      !std::isfinite(current->height)) {
    return windowLog_.error("scale: cannot read AX size of captured window");
  }
  const Size screen = mainScreenSize();
  const double cw = current->width, ch = current->height;
  const double aspect = cw / ch;
  const double maxW = kMaxScreenFraction * screen.width, maxH = kMaxScreenFraction * screen.height;
  const double minW = kMinScreenFraction * screen.width, minH = kMinScreenFraction * screen.height;
  double w = factor * cw, h = factor * ch;
  // In this order, so the minimum bounds win over the maximum ones.
  if (w > maxW) w = maxW, h = maxW / aspect;
  if (h > maxH) h = maxH, w = maxH * aspect;
  if (w < minW) w = minW, h = minW / aspect;
  if (h < minH) h = minH, w = minH * aspect;
  // Sizes come from another process: proportions beyond any real window
  // overflow the aspect arithmetic, and then no size can be asked for.
  if (!std::isfinite(w) || !std::isfinite(h)) return windowLog_.error("scale: cannot read AX size of captured window");

  const AXError error = ax_.setAttributeValue(window, kAXSizeAttribute, Size{w, h});
  const auto readback = readSize(window);
  const std::string readbackText =
      readback ? std::to_string(truncated(readback->width)) + "×" + std::to_string(truncated(readback->height)) : "nil";
  windowLog_.info(
      "scale factor=%{public}f cur=(%{public}ld×%{public}ld) → req=(%{public}ld×%{public}ld) setSize=%{public}d "
      "(0=success) readback=(%{public}s) | %{public}s",
      factor, truncated(cw), truncated(ch), truncated(w), truncated(h), error, readbackText, describeWindow(window));
  ax_.setAttributeValue(window, kAXPositionAttribute, Point{(screen.width - w) * 0.5, (screen.height - h) * 0.5});
  refreshCapturedWindowFrame();
}

void InputInjector::refreshCapturedWindowFrame() {
  const AXElement window = focusedCapturedWindow();
  const auto frame = window ? readFrame(window) : std::nullopt;
  if (!frame || !(frame->size.width > 0) || !(frame->size.height > 0)) return;
  capturedWindowFrame_ = frame;
  windowLog_.debug("capturedWindowFrame ← AX (%{public}ld,%{public}ld) %{public}ldx%{public}ld",
                   truncated(frame->origin.x), truncated(frame->origin.y), truncated(frame->size.width),
                   truncated(frame->size.height));
}

void InputInjector::setFrame(const AXElement& element, const Rect& frame) {
  // Position again after the size: a window grown past the screen edge may
  // have been pushed back by the system.
  ax_.setAttributeValue(element, kAXPositionAttribute, frame.origin);
  ax_.setAttributeValue(element, kAXSizeAttribute, frame.size);
  ax_.setAttributeValue(element, kAXPositionAttribute, frame.origin);
}

AXElement InputInjector::containingWindow(const AXElement& element) {
  const auto direct = ax_.copyAttributeValue(element, kAXWindowAttribute);
  if (const auto* window = std::get_if<AXElement>(&direct.value); direct.ok() && window && *window) return *window;
  AXElement current = element;
  for (int level = 0; level < kMaxParentLevels; ++level) {
    const auto role = ax_.copyAttributeValue(current, kAXRoleAttribute);
    if (const auto* text = std::get_if<std::string>(&role.value); role.ok() && text && *text == kAXWindowRole) {
      return current;
    }
    const auto parent = ax_.copyAttributeValue(current, kAXParentAttribute);
    const auto* next = std::get_if<AXElement>(&parent.value);
    if (!parent.ok() || !next || !*next) return nullptr;
    current = *next;
  }
  return nullptr;
}

std::string InputInjector::describeWindow(const AXElement& element) {
  const auto settable = ax_.isAttributeSettable(element, kAXSizeAttribute);
  return "role=" + readText(element, kAXRoleAttribute) + " subrole=" + readText(element, kAXSubroleAttribute) +
         " title=\"" + readText(element, kAXTitleAttribute) + "\" sizeSettable=" +
         (settable.ok() && settable.value ? "true" : "false");
}

void InputInjector::click(CGEventFlags flags, int count, Point at) {
  for (int i = 1; i <= std::max(count, 1); ++i) {
    auto down = events_.createMouseEvent(kCGEventLeftMouseDown, at, 0);
    auto up = events_.createMouseEvent(kCGEventLeftMouseUp, at, 0);
    for (auto* event : {&down, &up}) {
      if (*event) (*event)->flags = flags, (*event)->clickState = i;
    }
    post(std::move(down));
    post(std::move(up));
  }
}

void InputInjector::retarget(float x, float y) {
  // Nothing can be under a point that is not finite; the line says so.
  const auto hit = std::isfinite(x) && std::isfinite(y) ? ax_.elementAtPosition(ax_.systemWideElement(), x, y)
                                                        : AXResult<AXElement>{kAXErrorIllegalArgument, nullptr};
  if (!hit.ok() || !hit.value) {
    console_.print("[InputInjector] retarget: 该点无 AX 元素 (" + coordinateText(x) + "," + coordinateText(y) + ")");
    return;
  }
  const AXElement window = containingWindow(hit.value);
  if (!window) {
    console_.print("[InputInjector] retarget: 该点元素无所属 AXWindow");
    return;
  }
  const auto pid = ax_.pid(window);
  const std::int32_t owner = pid.ok() ? pid.value : 0;
  if (owner == 0 || owner == process_.processIdentifier()) return;
  capturedAXWindow_ = window;
  capturedWindowPID_ = owner;
  console_.print("[InputInjector] retarget → pid=" + std::to_string(owner) + " " + describeWindow(window));
}

}  // namespace orvane
