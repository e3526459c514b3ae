#include "OrvaneMac/platform/x11/apps/X11Applications.h"

#include <X11/Xutil.h>
#include <unistd.h>

#include <fstream>
#include <utility>
#include <vector>

namespace orvane::x11 {

namespace {

// _NET_ACTIVE_WINDOW and _NET_RESTACK_WINDOW: "the request comes from a pager",
// which window managers honour without focus-stealing checks.
constexpr long kSourcePager = 2;

struct ClassHint {
  std::string resClass;
  std::string resName;
};

std::optional<ClassHint> classOf(X11Display& x, ::Window window) {
  XClassHint hint{};
  Status status = 0;
  if (x.trap([&] { status = XGetClassHint(x.get(), window, &hint); }) != Success || status == 0) return std::nullopt;
  ClassHint result{hint.res_class ? hint.res_class : "", hint.res_name ? hint.res_name : ""};
  if (hint.res_class) XFree(hint.res_class);
  if (hint.res_name) XFree(hint.res_name);
  return result;
}

}  // namespace

X11Applications::X11Applications(X11Display& x, Options options, LogSink& log)
    : x_(x), options_(std::move(options)), launcher_(DisplayString(x.get()), log), watch_(x) {
  if (options_.ownPid == 0) options_.ownPid = static_cast<std::int32_t>(::getpid());
  ownActive_ = watch_.current().pid == options_.ownPid;
  watching_ = watch_.observe([this](const ActiveWindowWatch::Active& active) { activeChanged(active); });
}

bool X11Applications::activate(std::int32_t pid, std::uint32_t) {
  const ::Window window = topmostWindowOf(x_, pid);
  if (window == None) return false;
  const ::Window current = watch_.current().window;
  x_.sendRootMessage(window, "_NET_ACTIVE_WINDOW", {kSourcePager, CurrentTime, static_cast<long>(current), 0, 0});
  x_.sendRootMessage(window, "_NET_RESTACK_WINDOW", {kSourcePager, None, Above, 0, 0});
  return !x_.broken();
}

std::optional<std::string> X11Applications::localizedName(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  const ::Window window = topmostWindowOf(x_, pid);
  std::optional<ClassHint> hint = window != None ? classOf(x_, window) : std::nullopt;
  if (hint) {
    if (const DesktopEntry* entry = entries().forWindowClass(hint->resClass, hint->resName)) return entry->name;
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
