#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/protocol/WindowInfo.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/platform/ShareableContent.h"

namespace orvane {

// Which ordinary application windows are on screen now: the window list the
// tablet is shown, front window first.
class AppWindowCaptureHelper {
 public:
  // System surfaces that own windows but are no application a user works in.
  static constexpr std::array<std::string_view, 5> kExcludedBundlePrefixes = {
      "com.apple.controlcenter", "com.apple.notificationcenterui", "com.apple.dock", "com.apple.WindowManager",
      "com.apple.systemuiserver"};
  // Smaller windows are palettes, badges and helpers rather than documents.
  static constexpr double kMinimumSide = 120;

  explicit AppWindowCaptureHelper(ShareableContentSource& content, LogSink& logSink = systemLogSink())
      : content_(content), console_(logSink) {}

  // Never fails: content that cannot be read gives an empty list. Prints one
  // "[WindowList] cand ..." line per window the system reports.
  Task<std::vector<WindowInfo>> listWindows();

  // Whether `window` is listed.
  static bool accepts(const ShareableWindow& window);
  // The diagnostic line printed for `window`.
  static std::string candidateLine(const ShareableWindow& window);

 private:
  ShareableContentSource& content_;
  Console console_;
};

}  // namespace orvane
