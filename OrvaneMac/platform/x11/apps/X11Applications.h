#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/platform/Applications.h"
#include "OrvaneMac/platform/linux/DesktopEntries.h"
#include "OrvaneMac/platform/linux/GioApplicationLauncher.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/apps/ActiveWindowWatch.h"
#include "OrvaneMac/platform/x11/windows/WindowManagerRequests.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// Running applications of an X11 desktop, an application being a process
// with managed windows: activation through the window manager, names from
// the desktop entries, launching through GIO.
class X11Applications final : public Applications {
 public:
  struct Options {
    // This process; its own windows becoming active is "did become active".
    std::int32_t ownPid = 0;  // getpid() when 0
    // Loaded on first use when not given.
    std::shared_ptr<const DesktopEntries> entries;
    std::filesystem::path proc = "/proc";
  };

  X11Applications(X11Display& x, Options options, LogSink& log = systemLogSink());
  explicit X11Applications(X11Display& x) : X11Applications(x, Options{}) {}

  // Raises and focuses the pid's topmost window through _NET_ACTIVE_WINDOW,
  // as a pager would (source indication 2). `options` changes nothing: X has
  // no application-wide activation.
  bool activate(std::int32_t pid, std::uint32_t options) override;
  // The Name of the desktop entry its window's WM_CLASS or its executable
  // names, else the process name.
  std::optional<std::string> localizedName(std::int32_t pid) override;
  std::unique_ptr<Subscription> observeDidBecomeActive(std::function<void()> callback) override;
  bool openApplication(const std::string& path) override;

  // What the last openApplication did.
  const GioApplicationLauncher::Result& lastLaunch() const { return lastLaunch_; }

 private:
  const DesktopEntries& entries();
  std::optional<std::string> processName(std::int32_t pid) const;
  void activeChanged(const ActiveWindowWatch::Active& active);

  X11Display& x_;
  Options options_;
  X11Windows windows_;
  WindowManagerRequests requests_;
  GioApplicationLauncher launcher_;
  GioApplicationLauncher::Result lastLaunch_;
  ActiveWindowWatch watch_;
  bool ownActive_ = false;
  std::unique_ptr<Subscription> watching_;
  std::map<int, std::shared_ptr<std::function<void()>>> callbacks_;
  int nextCallback_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvane::x11
