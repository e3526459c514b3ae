#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/protocol/Geometry.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/EventPoster.h"
#include "OrvaneMac/platform/Screens.h"
#include "OrvaneMac/platform/Workspace.h"

namespace orvane {

// Turns the tablet's input events into system input events, and carries out
// the window operations on the captured window. Once a guard is attached,
// every event it posts carries the injection marker and, while the local user
// has control or injection is stopped, only releases get through. Main thread
// only.
class InputInjector {
 public:
  static constexpr std::int64_t kInjectionMarker = LocalControlGuard::kInjectionMarker;
  // Anything still held this long after the last press or drag is released:
  // a dropped connection must not leave a button down.
  static constexpr double kReleaseWatchdogDelay = 2.0;
  static constexpr Size kFallbackScreenSize{1440, 900};
  static constexpr double kScrollMultiplier = 3.0;
  static constexpr double kEnlargeFactor = 1.2;
  static constexpr double kShrinkFactor = 0.8333333333333334;

  InputInjector(Executor& mainQueue, EventPoster& events, Accessibility& ax, Screens& screens, ProcessInfo& process,
                LogSink& log = systemLogSink());
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  void attachGuard(std::shared_ptr<LocalControlGuard> guard) { guard_ = std::move(guard); }
  const std::shared_ptr<LocalControlGuard>& controlGuard() const { return guard_; }

  void inject(const ControlEvent& event);
  void releaseAllHeld();

  // Every synthesised event except the media keys goes through here: held
  // bookkeeping, watchdog, marker, post. A missing event is ignored.
  void post(std::optional<CGEvent> event);
  // One key-down/key-up pair of virtual key 0 per user-perceived character.
  void typeText(std::string_view text);

  // --- Window operations on the captured window
  AXElement focusedCapturedWindow();
  void resize(std::int64_t width, std::int64_t height);
  void move(std::int64_t x, std::int64_t y);
  void minimize();
  void zoom();
  void close();
  void titleBarZoom();
  void scale(double factor);
  void refreshCapturedWindowFrame();
  // Makes the window under the point (global display points) the captured one.
  void retarget(float x, float y);

  void setFrame(const AXElement& element, const Rect& frame);
  AXElement containingWindow(const AXElement& element);
  std::string describeWindow(const AXElement& element);
  void click(CGEventFlags flags, int count, Point at);
  static std::string axErrorName(AXError code);

  // --- Captured-window state (global display points, origin top-left)
  const std::optional<Rect>& capturedWindowFrame() const { return capturedWindowFrame_; }
  void setCapturedWindowFrame(std::optional<Rect> frame) { capturedWindowFrame_ = frame; }
  std::optional<std::int32_t> capturedWindowPID() const { return capturedWindowPID_; }
  void setCapturedWindowPID(std::optional<std::int32_t> pid) { capturedWindowPID_ = pid; }
  const AXElement& capturedAXWindow() const { return capturedAXWindow_; }
  void setCapturedAXWindow(AXElement window) { capturedAXWindow_ = std::move(window); }
  const std::optional<Rect>& preZoomFrame() const { return preZoomFrame_; }
  void setPreZoomFrame(std::optional<Rect> frame) { preZoomFrame_ = frame; }

  const std::set<CGKeyCode>& heldKeys() const { return heldKeys_; }
  const std::set<CGMouseButton>& heldButtons() const { return heldButtons_; }

 private:
  struct Dispatch;

  Size mainScreenSize();
  // Whether the local-control policy lets `event` out now.
  bool mayPost(const CGEvent& event) const;
  void armWatchdog();
  void postKey(CGKeyCode key, bool down, CGEventFlags flags);
  void postMouse(CGEventType type, Point at, CGMouseButton button, std::int64_t clickState = 0);
  void postSystemKey(int keyType);
  std::optional<Size> readSize(const AXElement& window);
  std::optional<Rect> readFrame(const AXElement& window);
  std::string readText(const AXElement& element, std::string_view attribute);

  Executor& queue_;
  EventPoster& events_;
  Accessibility& ax_;
  Screens& screens_;
  ProcessInfo& process_;
  Logger windowLog_;
  Console console_;

  std::optional<Rect> capturedWindowFrame_;
  std::optional<std::int32_t> capturedWindowPID_;
  AXElement capturedAXWindow_;
  std::optional<Rect> preZoomFrame_;
  std::shared_ptr<LocalControlGuard> guard_;
  std::set<CGKeyCode> heldKeys_;
  std::set<CGMouseButton> heldButtons_;
  TimerHandle releaseWatchdog_;
};

}  // namespace orvane
