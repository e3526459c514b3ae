#include "OrvaneMac/platform/x11/apps/X11Applications.h"

#include <unistd.h>

#include <fstream>
#include <utility>
#include <vector>

namespace orvane::x11 {

X11Applications::X11Applications(X11Display& x, Options options, LogSink& log)
    : x_(x),
      options_(std::move(options)),
      windows_(x),
      requests_(x),
      launcher_(DisplayString(x.get()), log),
      watch_(x) {
  if (options_.ownPid == 0) options_.ownPid = static_cast<std::int32_t>(::getpid());
  ownActive_ = watch_.current().pid == options_.ownPid;
  watching_ = watch_.observe([this](const ActiveWindowWatch::Active& active) { activeChanged(active); });
}

bool X11Applications::activate(std::int32_t pid, std::uint32_t) {
  const ::Window window = topmostWindowOf(windows_, pid);
  if (window == None) return false;
  requests_.activate(window, watch_.current().window);
  requests_.raise(window);
  return !x_.broken();
}

std::optional<std::string> X11Applications::localizedName(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  const ::Window window = topmostWindowOf(windows_, pid);
  const std::optional<ClientWindow> hint = window != None ? windows_.read(window) : std::nullopt;
  if (hint) {
    if (const DesktopEntry* entry = entries().forWindowClass(hint->resClass, hint->resInstance)) return entry->name;
  }
  if (auto name = processName(pid)) {
    if (const DesktopEntry* entry = entries().forExecutable(*name)) return entry->name;
    return name;
  }
  // A window whose process is not ours to read (another machine's client).
  if (hint && !hint->resClass.empty()) return hint->resClass;
  return std::nullopt;
}

std::unique_ptr<Subscription> X11Applications::observeDidBecomeActive(std::function<void()> callback) {
  const int id = nextCallback_++;
  callbacks_.emplace(id, std::make_shared<std::function<void()>>(std::move(callback)));
  return std::make_unique<ScopedSubscription>([this, id, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) callbacks_.erase(id);
  });
}

bool X11Applications::openApplication(const std::string& path) {
  lastLaunch_ = launcher_.launch(path);
  return lastLaunch_.ok();
}

const DesktopEntries& X11Applications::entries() {
  if (!options_.entries) options_.entries = DesktopEntries::load();
  return *options_.entries;
}

std::optional<std::string> X11Applications::processName(std::int32_t pid) const {
  std::ifstream comm(options_.proc / std::to_string(pid) / "comm");
  std::string name;
  if (!comm || !std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

void X11Applications::activeChanged(const ActiveWindowWatch::Active& active) {
  const bool own = active.pid == options_.ownPid;
  const bool became = own && !ownActive_;
  ownActive_ = own;
  if (!became) return;
  std::vector<std::pair<int, std::shared_ptr<std::function<void()>>>> callbacks(callbacks_.begin(), callbacks_.end());
  std::weak_ptr<bool> alive = alive_;
  for (auto& [id, callback] : callbacks) {
    if (alive.expired()) return;
    if (callbacks_.contains(id)) (*callback)();
  }
}

}  // namespace orvane::x11
