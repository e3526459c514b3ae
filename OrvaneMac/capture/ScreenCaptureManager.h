#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/platform/CaptureStream.h"
#include "OrvaneMac/platform/ShareableContent.h"

namespace orvane {

class PeerConnectionManager;

// What is being captured. The stream always covers the whole first display;
// an application window is worked on by fitting it to that display.
struct CaptureMode {
  enum class Kind { appWindow, fullscreen };
  Kind kind = Kind::fullscreen;
  std::uint32_t windowID = 0;  // appWindow only

  static CaptureMode fullscreen() { return {}; }
  static CaptureMode appWindow(std::uint32_t windowID) { return {Kind::appWindow, windowID}; }
  bool operator==(const CaptureMode& other) const {
    return kind == other.kind && (kind == Kind::fullscreen || windowID == other.windowID);
  }
};

// Captures the first display into the outgoing WebRTC video track, and
// watches that the stream really delivers: a stream silent for 4 watchdog
// ticks is rebuilt once, and one still silent at tick 8 is reported stalled.
//
// Threads: everything runs on the main executor except the frame path, which
// runs on the stream's capture thread and shares only the frame flag (under
// its lock) and the capture target (an atomic pointer) with the rest.
class ScreenCaptureManager {
 public:
  static constexpr std::int64_t kDefaultMaxLongEdge = 1920;
  static constexpr std::int64_t kMinLongEdge = 1280;
  static constexpr std::int64_t kMaxLongEdge = 1920;
  // Used when the content lists no display: a common Retina panel.
  static constexpr std::int64_t kFallbackWidth = 2560;
  static constexpr std::int64_t kFallbackHeight = 1600;
  static constexpr std::int32_t kLowQualityWidth = 320;
  static constexpr std::int32_t kLowQualityHeight = 200;
  static constexpr double kNormalFrameInterval = 1.0 / 30;
  static constexpr double kLowQualityFrameInterval = 1.0 / 5;
  static constexpr std::int32_t kQueueDepth = 3;
  static constexpr double kWatchdogTick = 1.0;
  static constexpr int kRebuildTick = 4;
  static constexpr int kStallTick = 8;
  static constexpr std::string_view kCaptureQueueLabel = "com.marlune.capture";

  // `content`, `streams`, `main` and `logSink` must outlive the manager.
  ScreenCaptureManager(Executor& main, ShareableContentSource& content, CaptureStreamFactory& streams,
                       LogSink& logSink = systemLogSink());
  ~ScreenCaptureManager();
  ScreenCaptureManager(const ScreenCaptureManager&) = delete;
  ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

  // Reads the shareable content as the permission probe: a failure sets
  // permissionDenied and is rethrown. Then captures the first display and
  // starts the watchdog.
  Task<void> start();
  // Builds and starts the stream; failures are logged, never thrown.
  Task<void> startCapture();
  // Ends the watchdog and the stream; isCapturing is false afterwards.
  Task<void> stop();
  // Clamps `n` to kMinLongEdge...kMaxLongEdge; a new value is applied to a
  // running stream. Throws what the content read or the update throws.
  Task<void> setMaxLongEdge(std::int64_t n);
  // 320 x 200 at 5 frames per second, or back to the normal configuration.
  Task<void> setLowQuality(bool low);
  // Re-aims the running stream at the current first display.
  Task<void> refreshDisplayFilter();
  void startWatchdog();

  // The peer connection frames go to. The manager is kept for the frame path
  // until the stream stops with an error (or another manager is set).
  void setPeerConnectionManager(const std::shared_ptr<PeerConnectionManager>& manager);
  std::shared_ptr<PeerConnectionManager> peerConnectionManager() const { return peerConnectionManager_.lock(); }
  // Where frames go directly; setPeerConnectionManager sets it to the manager.
  void setCaptureTarget(std::shared_ptr<rtc::VideoSource> target);
  bool hasCaptureTarget() const;

  // true: no frames even after a rebuild; false: frames arrived after a stall was reported.
  std::function<void(bool stalled)> onCaptureStalled;

  bool isCapturing() const { return isCapturing_; }
  bool permissionDenied() const { return permissionDenied_; }
  bool hasStream() const { return stream_ != nullptr; }
  const CaptureMode& captureMode() const { return captureMode_; }
  std::int64_t maxLongEdge() const { return maxLongEdge_; }
  bool watchdogRunning() const { return captureWatchdog_.running(); }

  // The configuration for `display` (the fallback size when there is none):
  // points doubled into pixels, then the long-edge limit.
  static StreamConfiguration normalConfiguration(const std::optional<ShareableDisplay>& display,
                                                 std::int64_t maxLongEdge);
  static StreamConfiguration lowQualityConfiguration();
  // Scales (w, h) so the longer side is at most `maxLongEdge`, rounding half
  // away from zero and then down to even sizes.
  static std::pair<std::int64_t, std::int64_t> limitLongEdge(std::int64_t w, std::int64_t h, std::int64_t maxLongEdge);

 private:
  class FramePath;
  class StreamEvents;

  Task<void> runWatchdog();
  Task<void> stopStreamIgnoringErrors(std::shared_ptr<CaptureStream> stream);
  void streamStopped(CaptureStream& stream);

  Executor& main_;
  ShareableContentSource& content_;
  CaptureStreamFactory& streams_;
  const Logger log_;

  bool isCapturing_ = false;
  bool permissionDenied_ = false;
  std::shared_ptr<CaptureStream> stream_;
  CaptureMode captureMode_;
  const std::shared_ptr<FramePath> framePath_;  // frameSeen and the capture target live here
  TaskHandle captureWatchdog_;
  std::int64_t maxLongEdge_ = kDefaultMaxLongEdge;
  std::weak_ptr<PeerConnectionManager> peerConnectionManager_;
  const std::shared_ptr<StreamEvents> streamEvents_;
  // Bumped by stop(): a start still waiting on the system when the session
  // ended must not leave a stream running behind it.
  std::uint64_t stopGeneration_ = 0;
};

}  // namespace orvane
