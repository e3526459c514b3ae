#pragma once

#include <optional>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/ShareableContent.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// The shareable content of an X desktop: the windows the window manager
// manages, front to back, each owned by the process that created it, and the
// displays. Runs on the main loop's connection.
class X11ShareableContent final : public ShareableContentSource {
 public:
  // `applications` names a window's application; without it, the window's class does.
  X11ShareableContent(X11Display& display, Executor& mainQueue, ApplicationLookup applications);

  // Read on the main loop's next turn, as the system's completion would
  // arrive. Throws CaptureServiceError when the root window cannot be read.
  Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;

  // The same, read now; nothing when the root window cannot be read.
  std::optional<ShareableContent> read(bool excludingDesktopWindows, bool onScreenWindowsOnly);

  static ShareableWindow shareable(const ClientWindow& window, const ApplicationLookup& applications);

 private:
  X11Display& x_;
  Executor& queue_;
  ApplicationLookup applications_;
  X11Windows windows_;
};

}  // namespace orvane::x11
