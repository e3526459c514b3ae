#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvaneCore/protocol/Geometry.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane {

// A capture service call that failed (no Screen Recording permission, the
// display went away, ...); what() is the system's description.
struct CaptureServiceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// SCRunningApplication: the application that owns a window.
struct ShareableApplication {
  std::int32_t processID = 0;
  std::string applicationName;
  std::string bundleIdentifier;
  bool operator==(const ShareableApplication&) const = default;
};

// SCWindow. The frame is in global display points, origin top-left. Layer 0
// is the layer of ordinary application windows.
struct ShareableWindow {
  std::uint32_t windowID = 0;
  Rect frame;
  std::optional<std::string> title;
  std::int32_t windowLayer = 0;
  bool isOnScreen = true;
  std::optional<ShareableApplication> owningApplication;
  bool operator==(const ShareableWindow&) const = default;
};

// SCDisplay: its size in points and its frame in global display points.
struct ShareableDisplay {
  std::uint32_t displayID = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  Rect frame;
  bool operator==(const ShareableDisplay&) const = default;
};

// SCShareableContent: windows front to back as the system orders them, and
// the displays with the main display first.
struct ShareableContent {
  std::vector<ShareableWindow> windows;
  std::vector<ShareableDisplay> displays;
};

// SCShareableContent.getShareableContent(excludingDesktopWindows:onScreenWindowsOnly:).
class ShareableContentSource {
 public:
  virtual ~ShareableContentSource() = default;
  // Completes on the main loop. Throws CaptureServiceError when the content
  // cannot be read, which is how a missing Screen Recording permission shows.
  virtual Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
};

}  // namespace orvane
