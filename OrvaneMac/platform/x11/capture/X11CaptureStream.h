#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/platform/CaptureStream.h"
#include "OrvaneMac/platform/x11/capture/FramePacer.h"
#include "OrvaneMac/platform/x11/capture/ScreenGrabber.h"

namespace orvane::x11 {

struct X11CaptureOptions {
  std::string displayName;  // empty: $DISPLAY
  // Without damage tracking every tick grabs: some drivers and compositing
  // window managers report no damage, and a frozen picture is worse than CPU.
  bool useDamage = true;
  // Presentation times and pacing; null: the system's monotonic clock.
  const Clock* clock = nullptr;

  // The defaults, with ORVANE_CAPTURE_NO_DAMAGE=1 turning damage tracking off.
  static X11CaptureOptions fromEnvironment();
};

// One display captured on a thread of its own, with its own X connection.
// Pictures go to the outputs on that thread; the delegate hears on the main
// executor when the stream ends by itself (the connection broke, shared
// memory failed). Control calls come from the main executor.
class X11CaptureStream final : public CaptureStream {
 public:
  // Consecutive refused grabs (about two seconds at 30 per second) after
  // which the screen counts as unreadable.
  static constexpr int kMaxFailedGrabs = 60;

  X11CaptureStream(Executor& main, X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration,
                   std::weak_ptr<CaptureStreamDelegate> delegate);
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  // The next tick delivers a full picture even on a still screen: a viewer
  // lost its picture and asked for a key frame. Any thread.
  void requestFrame();

  // Any thread.
  bool running() const { return running_.load(); }
  std::uint64_t grabs() const { return grabs_.load(); }
  std::uint64_t framesDelivered() const { return delivered_.load(); }

  // --- CaptureStream
  void addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                       std::string queueLabel) override;
  Task<void> startCapture() override;
  Task<void> stopCapture() override;
  Task<void> updateConfiguration(StreamConfiguration configuration) override;
  Task<void> updateContentFilter(ContentFilter filter) override;

 private:
  struct Registered {
    std::shared_ptr<CaptureStreamOutput> output;
    StreamOutputType type;
  };

  void run(Resolver<bool> started);
  void capture(ScreenGrabber& grabber);
  void applySettings(ScreenGrabber& grabber, FramePacer& pacer, std::uint64_t& seenVersion);
  void wait(ScreenGrabber& grabber, double seconds);
  void deliver(const CapturedImage& picture, double time);
  void fail(std::string description);
  void stopThread();
  void wake();

  Executor& main_;
  const X11CaptureOptions options_;
  const SystemClock systemClock_;
  const Clock& clock_;
  const std::weak_ptr<CaptureStreamDelegate> delegate_;
  // Cleared by the destructor: a failure posted before it must not reach the
  // delegate after it.
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);

  mutable std::mutex mutex_;  // guards the five below
  ContentFilter filter_;
  StreamConfiguration configuration_;
  std::uint64_t settingsVersion_ = 1;
  std::vector<Registered> outputs_;
  std::string queueLabel_;  // the capture thread's name

  std::thread thread_;
  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> frameRequested_{false};
  std::atomic<std::uint64_t> grabs_{0};
  std::atomic<std::uint64_t> delivered_{0};
};

// SCStream's constructor on X11.
class X11CaptureStreamFactory final : public CaptureStreamFactory {
 public:
  explicit X11CaptureStreamFactory(Executor& main, X11CaptureOptions options = X11CaptureOptions::fromEnvironment())
      : main_(main), options_(std::move(options)) {}

  std::shared_ptr<CaptureStream> makeStream(ContentFilter filter, StreamConfiguration configuration,
                                            std::weak_ptr<CaptureStreamDelegate> delegate) override;

 private:
  Executor& main_;
  const X11CaptureOptions options_;
};

}  // namespace orvane::x11
