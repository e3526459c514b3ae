#pragma once

#include <memory>
#include <string>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneMac/platform/linux/GioApplicationIndex.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/apps/X11Applications.h"
#include "OrvaneMac/platform/x11/apps/X11Workspace.h"
#include "OrvaneMac/platform/x11/capture/X11CaptureStream.h"
#include "OrvaneMac/platform/x11/capture/X11DisplayScale.h"
#include "OrvaneMac/platform/x11/capture/X11PowerAssertions.h"
#include "OrvaneMac/platform/x11/capture/X11ScreenCaptureAccess.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "OrvaneMac/platform/x11/input/X11InputTap.h"
#include "OrvaneMac/platform/x11/windows/X11Accessibility.h"
#include "OrvaneMac/platform/x11/windows/X11ShareableContent.h"

namespace orvane::x11 {

// Every port of the host on one X display, wired to each other and to the
// main loop: what a host process runs on. Main loop only.
class X11Desktop {
 public:
  // "super" makes the tablet's command key the Super key instead of Control.
  static constexpr const char* kCommandKeyDefault = "Orvane.commandKey";

  // Nothing when the display cannot be opened. `defaults` may be null.
  static std::unique_ptr<X11Desktop> open(Executor& main, const UserDefaults* defaults = nullptr,
                                          const std::string& displayName = {}, LogSink& log = systemLogSink());
  ~X11Desktop();
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  X11Display& display() { return *display_; }
  X11EventPoster& events() { return *events_; }
  X11InputTap& taps() { return *taps_; }
  X11Accessibility& accessibility() { return *accessibility_; }
  X11Screens& screens() { return *screens_; }
  X11Workspace& workspace() { return *workspace_; }
  X11ProcessInfo& process() { return process_; }
  X11ShareableContent& content() { return *content_; }
  X11CaptureStreamFactory& streams() { return *streams_; }
  GioApplicationIndex& applicationIndex() { return *applicationIndex_; }
  X11Applications& applications() { return *applications_; }
  X11PowerAssertions& power() { return *power_; }
  X11ScreenCaptureAccess& screenCapture() { return *screenCapture_; }
  X11DisplayScale& displayScale() { return *displayScale_; }

 private:
  X11Desktop() = default;

  // In the order they are made; destroyed in reverse, the connection last.
  std::unique_ptr<X11Display> display_;
  std::unique_ptr<AtSpiFocus> focus_;
  std::unique_ptr<X11EventPoster> events_;
  std::unique_ptr<X11InputTap> taps_;
  std::unique_ptr<X11Accessibility> accessibility_;
  std::unique_ptr<X11Screens> screens_;
  std::unique_ptr<X11Workspace> workspace_;
  X11ProcessInfo process_;
  std::unique_ptr<X11ShareableContent> content_;
  std::unique_ptr<X11CaptureStreamFactory> streams_;
  std::unique_ptr<GioApplicationIndex> applicationIndex_;
  std::unique_ptr<X11Applications> applications_;
  std::unique_ptr<X11PowerAssertions> power_;
  std::unique_ptr<X11ScreenCaptureAccess> screenCapture_;
  std::unique_ptr<X11DisplayScale> displayScale_;
};

}  // namespace orvane::x11
