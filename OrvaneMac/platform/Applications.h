#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneMac/platform/Workspace.h"

namespace orvane {

// NSRunningApplication and NSApplication as the session uses them: bringing
// another process's application forward, its display name, and this
// application becoming active.
class Applications {
 public:
  // NSApplicationActivateIgnoringOtherApps.
  static constexpr std::uint32_t kActivateIgnoringOtherApps = 2;

  virtual ~Applications() = default;
  // NSRunningApplication(processIdentifier:).activate(options:). False when
  // no application runs with that pid or the system refused.
  virtual bool activate(std::int32_t pid, std::uint32_t options) = 0;
  // The running application's localised name; nothing when there is none.
  virtual std::optional<std::string> localizedName(std::int32_t pid) = 0;
  // NSApplicationDidBecomeActiveNotification of this process, delivered on
  // the main loop.
  [[nodiscard]] virtual std::unique_ptr<Subscription> observeDidBecomeActive(std::function<void()> callback) = 0;
  // NSWorkspace.openApplication(at:): starts the application installed at
  // `path` (on Linux its desktop entry). False when it could not be started.
  virtual bool openApplication(const std::string& path) = 0;
};

}  // namespace orvane
