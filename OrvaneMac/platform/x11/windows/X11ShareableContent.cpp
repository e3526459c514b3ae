#include "OrvaneMac/platform/x11/windows/X11ShareableContent.h"

#include <utility>

#include "OrvaneMac/platform/x11/capture/X11Displays.h"

namespace orvane::x11 {

X11ShareableContent::X11ShareableContent(X11Display& display, Executor& mainQueue, ApplicationLookup applications)
    : x_(display), queue_(mainQueue), applications_(std::move(applications)), windows_(display) {}

Task<ShareableContent> X11ShareableContent::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  auto turn = makeOneShot<bool>();
  queue_.post([resolver = turn.first] { resolver.resolve(true); });
  co_await turn.second;
  auto content = read(excludingDesktopWindows, onScreenWindowsOnly);
  if (!content) throw CaptureServiceError("The X display's root window cannot be read");
  co_return std::move(*content);
}

std::optional<ShareableContent> X11ShareableContent::read(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  auto windows = windows_.list();
  if (!windows) return std::nullopt;
  ShareableContent content;
  for (const ClientWindow& window : *windows) {
    if (excludingDesktopWindows && window.type == WindowType::desktop) continue;
    if (onScreenWindowsOnly && !window.onScreen) continue;
    content.windows.push_back(shareable(window, applications_));
  }
  content.displays = x11Displays(x_);
  if (x_.broken()) return std::nullopt;
  return content;
}

ShareableWindow X11ShareableContent::shareable(const ClientWindow& window, const ApplicationLookup& applications) {
  ShareableWindow out;
  out.windowID = static_cast<std::uint32_t>(window.id);  // XIDs have 29 bits
  out.frame = window.frame;
  out.title = window.title;
  out.windowLayer = layerOf(window.type);
  out.isOnScreen = window.onScreen;
  // Without a process there is nothing to activate or ask: no owner.
  if (window.pid > 0) {
    ApplicationIdentity identity = identify(window, applications);
    out.owningApplication = ShareableApplication{window.pid, std::move(identity.name), std::move(identity.id)};
  }
  return out;
}

}  // namespace orvane::x11
