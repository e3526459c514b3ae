#include "OrvaneMac/platform/x11/apps/X11Workspace.h"

#include <unistd.h>

#include <utility>
#include <vector>

namespace orvane::x11 {

X11Workspace::X11Workspace(X11Display& x) : watch_(x), front_(watch_.current()) {
  watching_ = watch_.observe([this](const ActiveWindowWatch::Active& active) { activeChanged(active); });
}

std::optional<std::int32_t> X11Workspace::frontmostApplicationPID() { return watch_.current().pid; }

std::unique_ptr<Subscription> X11Workspace::observeApplicationActivation(
    std::function<void(std::optional<std::int32_t> pid)> callback) {
  const int id = nextCallback_++;
  callbacks_.emplace(id, std::make_shared<std::function<void(std::optional<std::int32_t>)>>(std::move(callback)));
  return std::make_unique<ScopedSubscription>([this, id, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) callbacks_.erase(id);
  });
}

void X11Workspace::activeChanged(const ActiveWindowWatch::Active& active) {
  const ActiveWindowWatch::Active before = std::exchange(front_, active);
  // Focus leaving every window activates nothing; another window of the same
  // application is no new activation.
  if (active.window == None) return;
  if (before.window != None && before.pid == active.pid) return;
  std::vector<std::pair<int, std::shared_ptr<std::function<void(std::optional<std::int32_t>)>>>> callbacks(
      callbacks_.begin(), callbacks_.end());
  std::weak_ptr<bool> alive = alive_;
  for (auto& [id, callback] : callbacks) {
    if (alive.expired()) return;
    if (callbacks_.contains(id)) (*callback)(active.pid);
  }
}

std::int32_t X11ProcessInfo::processIdentifier() const { return static_cast<std::int32_t>(::getpid()); }

}  // namespace orvane::x11
