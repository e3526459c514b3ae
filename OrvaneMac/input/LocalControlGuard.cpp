#include "OrvaneMac/input/LocalControlGuard.h"

namespace orvane {

LocalControlGuard::LocalControlGuard(Executor& mainQueue, InputTap& taps, EventPoster& events, LogSink& log)
    : queue_(mainQueue), taps_(taps), events_(events), console_(log) {}

void LocalControlGuard::start() {
  std::uint64_t mask = 0;
  for (CGEventType type : kLocalInputTypes) mask |= std::uint64_t{1} << type;
  // The tap is owned here and dies with the guard, so `this` outlives it.
  tap_ = taps_.createListenOnlyTap(mask, [this](const TappedEvent& event) { tapped(event); });
  if (!tap_) {
    console_.print(
        "[LocalControlGuard] WARNING: event tap not created — real-time local yield disabled (grant Input "
        "Monitoring/Accessibility). Emergency stop still works.");
    return;
  }
  tap_->setEnabled(true);
  console_.print("[LocalControlGuard] listen-only input tap installed");
}

void LocalControlGuard::tapped(const TappedEvent& event) {
  if (event.type == kCGEventTapDisabledByTimeout || event.type == kCGEventTapDisabledByUserInput) {
    if (tap_) tap_->setEnabled(true);
    return;
  }
  if (event.userData == kInjectionMarker) return;
  policy_.noteLocalInput(queue_.now());
  releaseHeldInjectedInput();
  evaluate();
  scheduleResumeCheck();
}

void LocalControlGuard::releaseHeldInjectedInput() {
  if (heldMouseButtons_.empty() && heldKeyVKeys_.empty()) return;
  const Point at = events_.cursorLocation().value_or(Point{});
  for (CGMouseButton button : heldMouseButtons_) {
    const CGEventType type = button == 0 ? kCGEventLeftMouseUp : button == 1 ? kCGEventRightMouseUp : kCGEventOtherMouseUp;
    if (auto up = events_.createMouseEvent(type, at, button)) {
      up->userData = kInjectionMarker;
      events_.post(*up);
    }
  }
  for (CGKeyCode key : heldKeyVKeys_) {
    if (auto up = events_.createKeyboardEvent(key, false)) {
      up->flags = 0;
      up->userData = kInjectionMarker;
      events_.post(*up);
    }
  }
  heldMouseButtons_.clear();
  heldKeyVKeys_.clear();
  console_.print("[LocalControlGuard] released held injected input (local preempt)");
}

void LocalControlGuard::evaluate() {
  const bool active = policy_.localHasControl(queue_.now());
  if (active == lastEmitted_) return;
  lastEmitted_ = active;
  if (onLocalControlChanged) onLocalControlChanged(active);
}

void LocalControlGuard::scheduleResumeCheck() {
  // The handle cancels the check with the guard, which is the weak hold.
  resumeTimer_ = queue_.postAfter(Seconds(policy_.graceWindow() + kResumeCheckSlack), [this] { evaluate(); });
}

void LocalControlGuard::stop() {
  tap_.reset();
  resumeTimer_.cancel();
  heldMouseButtons_.clear();
  heldKeyVKeys_.clear();
  policy_ = LocalControlPolicy(policy_.graceWindow());
  lastEmitted_ = false;
}

}  // namespace orvane
