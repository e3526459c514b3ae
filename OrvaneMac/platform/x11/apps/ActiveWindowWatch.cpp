#include "OrvaneMac/platform/x11/apps/ActiveWindowWatch.h"

#include <X11/Xlib.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace orvane::x11 {

::Window topmostWindowOf(X11Windows& windows, std::int32_t pid) {
  if (pid < 1) return None;
  for (::Window window : windows.stacking()) {
    if (windows.pid(window) == pid) return window;
  }
  return None;
}

ActiveWindowWatch::ActiveWindowWatch(X11Display& x)
    : x_(x), windows_(x), activeAtom_(x.atom("_NET_ACTIVE_WINDOW")) {
  // Other ports select their own events on the root: add to this client's
  // mask instead of replacing it.
  XWindowAttributes attributes{};
  x_.trap([&] {
    if (XGetWindowAttributes(x_.get(), x_.root(), &attributes)) {
      XSelectInput(x_.get(), x_.root(), attributes.your_event_mask | PropertyChangeMask);
    }
  });
  handler_ = x_.addEventHandler([this](const XEvent& event) { onEvent(event); });
  last_ = current();
}

ActiveWindowWatch::~ActiveWindowWatch() { x_.removeEventHandler(handler_); }

ActiveWindowWatch::Active ActiveWindowWatch::current() {
  Active active;
  active.window = windows_.activeWindow();
  if (const std::int32_t pid = active.window != None ? windows_.pid(active.window) : 0; pid > 0) active.pid = pid;
  return active;
}

std::unique_ptr<Subscription> ActiveWindowWatch::observe(std::function<void(const Active&)> changed) {
  const int id = nextListener_++;
  listeners_.emplace(id, std::make_shared<std::function<void(const Active&)>>(std::move(changed)));
  return std::make_unique<ScopedSubscription>([this, id, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) listeners_.erase(id);
  });
}

void ActiveWindowWatch::onEvent(const XEvent& event) {
  if (event.type != PropertyNotify || event.xproperty.window != x_.root() || event.xproperty.atom != activeAtom_) {
    return;
  }
  Active now = current();
  if (now == last_) return;
  last_ = now;
  // A listener may unsubscribe itself or others, or destroy the watch.
  std::vector<std::pair<int, std::shared_ptr<std::function<void(const Active&)>>>> listeners(listeners_.begin(),
                                                                                             listeners_.end());
  std::weak_ptr<bool> alive = alive_;
  for (auto& [id, listener] : listeners) {
    if (alive.expired()) return;
    if (listeners_.contains(id)) (*listener)(now);
  }
}

}  // namespace orvane::x11
