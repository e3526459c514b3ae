#include "OrvaneMac/capture/ScreenCaptureManager.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>

#include "OrvaneCore/peer/PeerConnectionManager.h"
#include "OrvaneCore/runtime/Locked.h"

namespace orvane {

namespace {

constexpr std::string_view kSubsystem = "com.kelbrin.Orvane.Mac";
constexpr std::string_view kCategory = "capture";

// 2^63: the first nanosecond count a signed 64-bit integer cannot hold.
constexpr double kInt64Limit = 9223372036854775808.0;

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// Hands frames to a peer-connection manager, which it keeps alive.
class PeerFrameTarget final : public rtc::VideoSource {
 public:
  explicit PeerFrameTarget(std::shared_ptr<PeerConnectionManager> manager) : manager_(std::move(manager)) {}
  void deliverFrame(const rtc::VideoFrame& frame) override { manager_->pushVideoFrame(frame); }

 private:
  std::shared_ptr<PeerConnectionManager> manager_;
};

}  // namespace

// The capture thread's side: every frame passes here and nothing else. It
// holds no pointer to the manager, so the stream may keep it past the
// manager's end.
class ScreenCaptureManager::FramePath final : public CaptureStreamOutput {
 public:
  Locked<bool> frameSeen;
  std::atomic<std::shared_ptr<rtc::VideoSource>> target;

  void didOutputSampleBuffer(const CaptureSample& sample, StreamOutputType type) override {
    if (type != StreamOutputType::screen) return;
    if (!sample.imageBuffer) return;  // a status-only buffer
    frameSeen.set(true);
    // A time the engine cannot carry would wrap or trap in the conversion;
    // the frame is dropped and the stream goes on.
    const double ns = sample.presentationTimeSeconds * 1'000'000'000.0;
    if (!std::isfinite(ns) || ns >= kInt64Limit || ns < -kInt64Limit) return;
    const CapturedImage& image = *sample.imageBuffer;
    rtc::VideoFrame frame;
    frame.format = rtc::VideoFrame::Format::bgra;
    frame.width = image.width;
    frame.height = image.height;
    frame.planes[0] = image.data;
    frame.strides[0] = image.bytesPerRow;
    frame.owner = image.owner;
    frame.timestampNs = static_cast<std::int64_t>(ns);
    frame.rotation = 0;
    if (auto sink = target.load()) sink->deliverFrame(frame);
  }
};

// The stream's delegate, detached when the manager goes.
class ScreenCaptureManager::StreamEvents final : public CaptureStreamDelegate {
 public:
  explicit StreamEvents(ScreenCaptureManager* owner) : owner(owner) {}
  void didStopWithError(CaptureStream& stream, const std::string&) override {
    if (owner) owner->streamStopped(stream);
  }
  ScreenCaptureManager* owner;
};

ScreenCaptureManager::ScreenCaptureManager(Executor& main, ShareableContentSource& content,
                                           CaptureStreamFactory& streams, LogSink& logSink)
    : main_(main),
      content_(content),
      streams_(streams),
      log_(std::string(kSubsystem), std::string(kCategory), logSink),
      framePath_(std::make_shared<FramePath>()),
      streamEvents_(std::make_shared<StreamEvents>(this)) {}

ScreenCaptureManager::~ScreenCaptureManager() {
  streamEvents_->owner = nullptr;
  captureWatchdog_.cancel();
}

void ScreenCaptureManager::setPeerConnectionManager(const std::shared_ptr<PeerConnectionManager>& manager) {
  ORVANE_ASSERT_ON(main_);
  peerConnectionManager_ = manager;
  setCaptureTarget(manager ? std::make_shared<PeerFrameTarget>(manager) : nullptr);
}

void ScreenCaptureManager::setCaptureTarget(std::shared_ptr<rtc::VideoSource> target) {
  ORVANE_ASSERT_ON(main_);
  framePath_->target.store(std::move(target));
}

bool ScreenCaptureManager::hasCaptureTarget() const { return framePath_->target.load() != nullptr; }

std::pair<std::int64_t, std::int64_t> ScreenCaptureManager::limitLongEdge(std::int64_t w, std::int64_t h,
                                                                          std::int64_t maxLongEdge) {
  const std::int64_t longEdge = std::max(w, h);
  if (longEdge <= 0 || longEdge <= maxLongEdge) return {w, h};
  const double scale = static_cast<double>(maxLongEdge) / static_cast<double>(longEdge);
  auto even = [](std::int64_t v) { return v % 2 != 0 ? v - 1 : v; };
  // std::round rounds halves away from zero.
  return {even(static_cast<std::int64_t>(std::round(static_cast<double>(w) * scale))),
          even(static_cast<std::int64_t>(std::round(static_cast<double>(h) * scale)))};
}

StreamConfiguration ScreenCaptureManager::normalConfiguration(const std::optional<ShareableDisplay>& display,
                                                              std::int64_t maxLongEdge) {
  std::int64_t w = kFallbackWidth;
  std::int64_t h = kFallbackHeight;
  if (display) {
    w = std::int64_t{display->width} * 2;
    h = std::int64_t{display->height} * 2;
  }
  const auto [width, height] = limitLongEdge(w, h, maxLongEdge);
  StreamConfiguration configuration;
  // A limited size fits easily; only a nonsensical negative display size
  // could leave the 32-bit range.
  configuration.width = static_cast<std::int32_t>(std::clamp<std::int64_t>(width, INT32_MIN, INT32_MAX));
  configuration.height = static_cast<std::int32_t>(std::clamp<std::int64_t>(height, INT32_MIN, INT32_MAX));
  configuration.minimumFrameInterval = Seconds(kNormalFrameInterval);
  configuration.queueDepth = kQueueDepth;
  configuration.pixelFormat = kCVPixelFormatType_32BGRA;
  return configuration;
}

StreamConfiguration ScreenCaptureManager::lowQualityConfiguration() {
  StreamConfiguration configuration;
  configuration.width = kLowQualityWidth;
  configuration.height = kLowQualityHeight;
  configuration.minimumFrameInterval = Seconds(kLowQualityFrameInterval);
  configuration.queueDepth = kQueueDepth;
  configuration.pixelFormat = kCVPixelFormatType_32BGRA;
  return configuration;
}

namespace {
std::optional<ShareableDisplay> firstDisplay(const ShareableContent& content) {
  if (content.displays.empty()) return std::nullopt;
  return content.displays.front();
}
}  // namespace

Task<void> ScreenCaptureManager::start() {
  ORVANE_ASSERT_ON(main_);
  const std::uint64_t generation = stopGeneration_;
  try {
    co_await content_.shareableContent(false, true);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    permissionDenied_ = true;
    throw;
  }
  if (generation != stopGeneration_) co_return;  // stopped while the probe ran
  captureMode_ = CaptureMode::fullscreen();
  co_await startCapture();
  if (generation != stopGeneration_) co_return;
  startWatchdog();
}

Task<void> ScreenCaptureManager::startCapture() {
  ORVANE_ASSERT_ON(main_);
  const std::uint64_t generation = stopGeneration_;
  std::optional<ShareableContent> content;
  try {
    content = co_await content_.shareableContent(false, true);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    log_.error("startCapture error: %{public}s", describe(std::current_exception()));
    co_return;
  }
  if (generation != stopGeneration_) co_return;
  const auto display = firstDisplay(*content);
  if (!display) co_return;

  ContentFilter filter;
  filter.display = *display;
  auto stream = streams_.makeStream(filter, normalConfiguration(display, maxLongEdge_), streamEvents_);
  stream_ = stream;
  try {
    stream->addStreamOutput(framePath_, StreamOutputType::screen, std::string(kCaptureQueueLabel));
  } catch (...) {
    log_.error("startCapture error: %{public}s", describe(std::current_exception()));
    co_return;
  }
  try {
    co_await stream->startCapture();
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    log_.error("startCapture error: %{public}s", describe(std::current_exception()));
    co_return;
  }
  if (generation != stopGeneration_ || stream_ != stream) {
    // The session ended (or the stream was dropped) while the system started
    // it: nobody would ever stop it, so stop it now.
    if (stream_ == stream) stream_.reset();
    co_await stopStreamIgnoringErrors(stream);
    co_return;
  }
  isCapturing_ = true;
}

Task<void> ScreenCaptureManager::stopStreamIgnoringErrors(std::shared_ptr<CaptureStream> stream) {
  try {
    co_await stream->stopCapture();
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
}

Task<void> ScreenCaptureManager::stop() {
  ORVANE_ASSERT_ON(main_);
  ++stopGeneration_;
  captureWatchdog_.cancel();
  // Cleared before the wait rather than after it, so that a start made
  // while the system stops this stream keeps the stream it built.
  isCapturing_ = false;
  auto stream = std::move(stream_);
  if (!stream) co_return;
  co_await stopStreamIgnoringErrors(stream);
}

Task<void> ScreenCaptureManager::setMaxLongEdge(std::int64_t n) {
  ORVANE_ASSERT_ON(main_);
  const std::int64_t clamped = std::clamp(n, kMinLongEdge, kMaxLongEdge);
  if (clamped == maxLongEdge_) co_return;
  maxLongEdge_ = clamped;
  if (!stream_ || !isCapturing_) co_return;
  const ShareableContent content = co_await content_.shareableContent(false, true);
  auto stream = stream_;
  if (!stream) co_return;
  co_await stream->updateConfiguration(normalConfiguration(firstDisplay(content), maxLongEdge_));
}

Task<void> ScreenCaptureManager::setLowQuality(bool low) {
  ORVANE_ASSERT_ON(main_);
  if (!stream_) co_return;
  if (low) {
    auto stream = stream_;
    co_await stream->updateConfiguration(lowQualityConfiguration());
    co_return;
  }
  const ShareableContent content = co_await content_.shareableContent(false, true);
  auto stream = stream_;
  if (!stream) co_return;
  co_await stream->updateConfiguration(normalConfiguration(firstDisplay(content), maxLongEdge_));
}

Task<void> ScreenCaptureManager::refreshDisplayFilter() {
  ORVANE_ASSERT_ON(main_);
  if (!stream_) co_return;
  const ShareableContent content = co_await content_.shareableContent(false, true);
  const auto display = firstDisplay(content);
  auto stream = stream_;
  if (!display || !stream) co_return;
  ContentFilter filter;
  filter.display = *display;
  co_await stream->updateContentFilter(filter);
}

void ScreenCaptureManager::startWatchdog() {
  ORVANE_ASSERT_ON(main_);
  framePath_->frameSeen.set(false);
  captureWatchdog_.cancel();
  // The handle is the weak hold: destroying the manager cancels the task.
  captureWatchdog_ = spawn(main_, runWatchdog());
}

Task<void> ScreenCaptureManager::runWatchdog() {
  int ticks = 0;
  bool rebuilt = false;
  bool reported = false;
  for (;;) {
    co_await checkCancellation();
    if (isCapturing_) {
      if (framePath_->frameSeen.get()) {
        if (reported && onCaptureStalled) onCaptureStalled(false);
        co_return;
      }
      ++ticks;
      if (ticks == kRebuildTick && !rebuilt) {
        log_.error("no first frame after 4s — rebuilding capture stream");
        if (auto stream = stream_) co_await stopStreamIgnoringErrors(stream);
        framePath_->frameSeen.set(false);
        co_await startCapture();
        rebuilt = true;
      }
      if (ticks >= kStallTick && !reported) {
        log_.error("capture still delivering no frames after rebuild — notifying iPad");
        reported = true;
        if (onCaptureStalled) onCaptureStalled(true);
      }
    }
    co_await sleepFor(Seconds(kWatchdogTick));
  }
}

void ScreenCaptureManager::streamStopped(CaptureStream& stream) {
  // A stream already replaced (by a rebuild or a new start) has nothing left
  // to end; its late error must not take down the stream that replaced it.
  if (stream_.get() != &stream) return;
  captureWatchdog_.cancel();
  isCapturing_ = false;
  stream_.reset();
  setCaptureTarget(nullptr);
}

}  // namespace orvane
