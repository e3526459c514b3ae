#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneMac/platform/Workspace.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// The topmost managed window of `pid`; None when it has none.
::Window topmostWindowOf(X11Windows& windows, std::int32_t pid);

// The window the window manager calls active (_NET_ACTIVE_WINDOW) and its
// process, followed through PropertyNotify on the root window. Handlers run
// on the main loop where the display's events are read (attachToMainLoop is
// the program's job).
class ActiveWindowWatch {
 public:
  struct Active {
    ::Window window = 0;  // None when nothing is active
    std::optional<std::int32_t> pid;
    bool operator==(const Active&) const = default;
  };

  explicit ActiveWindowWatch(X11Display& x);
  ~ActiveWindowWatch();
  ActiveWindowWatch(const ActiveWindowWatch&) = delete;
  ActiveWindowWatch& operator=(const ActiveWindowWatch&) = delete;

  // Read from the server now.
  Active current();
  // `changed` runs with each new active window (or None), once per change.
  [[nodiscard]] std::unique_ptr<Subscription> observe(std::function<void(const Active&)> changed);

 private:
  void onEvent(const XEvent& event);

  X11Display& x_;
  X11Windows windows_;
  Atom activeAtom_;
  int handler_ = 0;
  Active last_;
  std::map<int, std::shared_ptr<std::function<void(const Active&)>>> listeners_;
  int nextListener_ = 1;
  // Expires with the watch: subscriptions and a running dispatch check it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvane::x11
