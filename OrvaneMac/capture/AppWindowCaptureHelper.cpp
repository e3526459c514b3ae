#include "OrvaneMac/capture/AppWindowCaptureHelper.h"

#include <cmath>
#include <cstdio>
#include <optional>

namespace orvane {

namespace {

// A frame side as a whole number, truncated toward zero ("-0" never shows).
std::string truncated(double value) {
  double whole = std::trunc(value);
  if (whole == 0) whole = 0;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", whole);
  return buffer;
}

}  // namespace

std::string AppWindowCaptureHelper::candidateLine(const ShareableWindow& window) {
  std::string line = "[WindowList] cand app=";
  line += window.owningApplication ? window.owningApplication->applicationName : std::string("nil");
  line += " layer=" + std::to_string(window.windowLayer);
  line += window.isOnScreen ? " onScreen=true" : " onScreen=false";
  line += " size=" + truncated(window.frame.width()) + "x" + truncated(window.frame.height());
  line += " title=\"" + window.title.value_or(std::string()) + "\"";
  return line;
}

bool AppWindowCaptureHelper::accepts(const ShareableWindow& window) {
  if (!window.isOnScreen) return false;
  if (window.windowLayer != 0) return false;
  if (!(window.frame.width() >= kMinimumSide && window.frame.height() >= kMinimumSide)) return false;
  if (!window.owningApplication) return false;
  const ShareableApplication& app = *window.owningApplication;
  if (app.applicationName.empty()) return false;
  for (std::string_view prefix : kExcludedBundlePrefixes) {
    if (std::string_view(app.bundleIdentifier).starts_with(prefix)) return false;
  }
  return true;
}

Task<std::vector<WindowInfo>> AppWindowCaptureHelper::listWindows() {
  std::optional<ShareableContent> content;
  try {
    content = co_await content_.shareableContent(false, true);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    co_return std::vector<WindowInfo>{};
  }
  std::vector<WindowInfo> windows;
  for (const ShareableWindow& window : content->windows) {
    console_.print(candidateLine(window));
    if (!accepts(window)) continue;
    const std::string& appName = window.owningApplication->applicationName;
    WindowInfo info;
    info.id = std::to_string(window.windowID);
    info.appName = appName;
    info.windowTitle = window.title && !window.title->empty() ? *window.title : appName;
    windows.push_back(std::move(info));
  }
  co_return windows;
}

}  // namespace orvane
