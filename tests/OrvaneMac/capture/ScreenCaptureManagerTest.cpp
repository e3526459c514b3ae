// Screen capture: stream sizes, frames handed to the engine, the no-frame watchdog (rebuild once, then report
// a stall), start and stop failures, and streams that end or outlive their manager.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/capture/ScreenCaptureManager.h"
#include "OrvaneMac/platform/sim/SimCapture.h"
#include "tests/support/Await.h"

namespace orvane {
namespace {

using Strings = std::vector<std::string>;

class RecordingSource final : public rtc::VideoSource {
 public:
  void deliverFrame(const rtc::VideoFrame& frame) override {
    std::lock_guard lock(mutex);
    frames.push_back(frame);
  }
  std::mutex mutex;
  std::vector<rtc::VideoFrame> frames;
};

StreamConfiguration expectedNormal(std::int32_t width, std::int32_t height) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.minimumFrameInterval = Seconds(1.0 / 30);
  c.queueDepth = 3;
  c.pixelFormat = kCVPixelFormatType_32BGRA;
  c.showsCursor = true;
  return c;
}

class CaptureTest : public ::testing::Test {
 protected:
  CaptureTest() {
    sim.addDisplay(1512, 982);
    manager.setCaptureTarget(target);
    manager.onCaptureStalled = [this](bool stalled) { stalls.push_back(stalled); };
  }

  void run(Task<void> task) { test::await(exec, std::move(task)); }
  void start() {
    run(manager.start());
    exec.runUntilIdle();  // the watchdog's first pass
  }
  Strings errorLines() const {
    Strings lines;
    for (const auto& r : logs.records()) {
      EXPECT_EQ(r.subsystem, "com.kelbrin.Orvane.Mac");
      EXPECT_EQ(r.category, "capture");
      if (r.level == LogLevel::Error) lines.push_back(r.message);
    }
    return lines;
  }
  // No stream, no watchdog, and nothing restarts or reports later.
  void expectStoppedForGood(std::size_t streamsMade) {
    EXPECT_FALSE(manager.isCapturing());
    EXPECT_FALSE(manager.hasStream());
    EXPECT_FALSE(manager.watchdogRunning());
    exec.advance(Seconds(20));
    EXPECT_EQ(sim.streams().size(), streamsMade);
    EXPECT_TRUE(stalls.empty());
  }

  ManualExecutor exec;
  SimCapture sim{exec};
  CapturingLogSink logs;
  ScreenCaptureManager manager{exec, sim, sim, logs};
  std::shared_ptr<RecordingSource> target = std::make_shared<RecordingSource>();
  std::vector<bool> stalls;
};

const std::string kRebuildLine = "no first frame after 4s — rebuilding capture stream";
const std::string kStallLine = "capture still delivering no frames after rebuild — notifying iPad";

TEST(CaptureConfiguration, PointsDoubleIntoPixelsWithinTheLongEdgeLimit) {
  ShareableDisplay laptop{1, 1512, 982, Rect(0, 0, 1512, 982)};
  EXPECT_EQ(ScreenCaptureManager::normalConfiguration(laptop, 1920), expectedNormal(1920, 1246));
  EXPECT_EQ(ScreenCaptureManager::normalConfiguration(laptop, 1280), expectedNormal(1280, 830));
  ShareableDisplay small{1, 800, 600, Rect(0, 0, 800, 600)};
  EXPECT_EQ(ScreenCaptureManager::normalConfiguration(small, 1920), expectedNormal(1600, 1200));
  // No display: 2560 x 1600, limited like any other size.
  EXPECT_EQ(ScreenCaptureManager::normalConfiguration(std::nullopt, 1920), expectedNormal(1920, 1200));

  StreamConfiguration low = expectedNormal(320, 200);
  low.minimumFrameInterval = Seconds(1.0 / 5);
  EXPECT_EQ(ScreenCaptureManager::lowQualityConfiguration(), low);
}

TEST(CaptureConfiguration, LongEdgeLimitScalesOnlyWhatExceedsIt) {
  using P = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(3024, 1964, 1920), P(1920, 1246));
  // Portrait: the height is the long edge.
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(1964, 3024, 1920), P(1246, 1920));
  // At or under the limit nothing changes, odd sizes included.
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(1920, 1081, 1920), P(1920, 1081));
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(1601, 1201, 1920), P(1601, 1201));
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(0, 0, 1920), P(0, 0));
  // 2049 * 1280 / 4000 = 655.68 rounds up to 656, already even.
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(4000, 2049, 1280), P(1280, 656));
  // 3 * 1280 / 2562 = 1.4988... rounds to 1, which is made even: 0.
  EXPECT_EQ(ScreenCaptureManager::limitLongEdge(2562, 3, 1280), P(1280, 0));
}

TEST_F(CaptureTest, StartCapturesTheFirstDisplayIntoTheTarget) {
  sim.addDisplay(1920, 1080);
  start();
  ASSERT_EQ(sim.streams().size(), 1u);
  SimCaptureStream& stream = *sim.latest();
  EXPECT_EQ(stream.filter.display.displayID, 1u);
  EXPECT_EQ(stream.configuration, expectedNormal(1920, 1246));
  EXPECT_EQ(stream.calls, (Strings{"addStreamOutput", "startCapture"}));
  EXPECT_TRUE(manager.isCapturing());
  EXPECT_FALSE(manager.permissionDenied());
  EXPECT_EQ(manager.captureMode(), CaptureMode::fullscreen());
  // Probe and capture both ask for desktop windows included, on-screen only.
  EXPECT_EQ(sim.contentQueries, (std::vector<std::pair<bool, bool>>{{false, true}, {false, true}}));

  std::vector<std::uint8_t> pixels(16 * 4 * 2);
  CaptureSample sample;
  sample.imageBuffer = CapturedImage{16, 2, pixels.data(), 64, std::make_shared<int>(7)};
  sample.presentationTimeSeconds = 12.5;
  EXPECT_EQ(stream.deliverFrame(sample), 1);
  ASSERT_EQ(target->frames.size(), 1u);
  const rtc::VideoFrame& frame = target->frames[0];
  EXPECT_EQ(std::tie(frame.format, frame.width, frame.height, frame.strides[0]),
            std::tuple(rtc::VideoFrame::Format::bgra, 16, 2, 64));
  EXPECT_EQ(frame.planes[0], pixels.data());  // handed on, not copied
  EXPECT_EQ(frame.owner, sample.imageBuffer->owner);
  EXPECT_EQ(frame.timestampNs, 12'500'000'000);
  EXPECT_EQ(stream.deliverFrame(sample, StreamOutputType::audio), 0);  // registered for the screen only
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(CaptureTest, TimeStampsTheEngineCannotCarryAreDroppedAndCaptureGoesOn) {
  start();
  SimCaptureStream& stream = *sim.latest();
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     9.3e9, -9.3e9}) {
    stream.deliverFrame(bad);
  }
  CaptureSample status;  // no image: a status-only buffer
  stream.deliverFrame(status);
  EXPECT_TRUE(target->frames.empty());
  stream.deliverFrame(9.2e9);  // 9.2e18 ns still fits
  stream.deliverFrame(-1.5e-9);
  ASSERT_EQ(target->frames.size(), 2u);
  EXPECT_EQ(target->frames[0].timestampNs, 9'200'000'000'000'000'000);
  EXPECT_EQ(target->frames[1].timestampNs, -1);  // truncated toward zero
  EXPECT_TRUE(manager.isCapturing());
}

TEST_F(CaptureTest, TheCaptureThreadMaySeeTheTargetChangeUnderIt) {
  start();
  SimCaptureStream& stream = *sim.latest();
  std::atomic<bool> done{false};
  std::thread capture([&] {
    for (int i = 0; i < 2000; ++i) stream.deliverFrame(i / 30.0);
    done = true;
  });
  auto other = std::make_shared<RecordingSource>();
  for (int i = 0; !done; ++i) manager.setCaptureTarget(i % 3 == 0 ? nullptr : i % 3 == 1 ? other : target);
  capture.join();
  EXPECT_LE(target->frames.size() + other->frames.size(), 2000u);
}

TEST_F(CaptureTest, ASilentStreamIsRebuiltOnceThenReportedStalledOnce) {
  start();  // tick 1
  exec.advance(Seconds(2.9));
  EXPECT_EQ(sim.streams().size(), 1u);
  exec.advance(Seconds(0.1));  // tick 4
  ASSERT_EQ(sim.streams().size(), 2u);
  EXPECT_EQ(sim.streams()[0]->calls, (Strings{"addStreamOutput", "startCapture", "stopCapture"}));
  EXPECT_EQ(sim.streams()[1]->calls, (Strings{"addStreamOutput", "startCapture"}));
  EXPECT_EQ(errorLines(), Strings{kRebuildLine});
  EXPECT_TRUE(stalls.empty());

  exec.advance(Seconds(3.9));
  EXPECT_TRUE(stalls.empty());
  exec.advance(Seconds(0.1));  // tick 8
  EXPECT_EQ(stalls, std::vector<bool>{true});
  EXPECT_EQ(errorLines(), (Strings{kRebuildLine, kStallLine}));

  exec.advance(Seconds(20));
  EXPECT_EQ(stalls, std::vector<bool>{true});
  EXPECT_EQ(sim.streams().size(), 2u);
  EXPECT_TRUE(manager.watchdogRunning());

  sim.latest()->deliverFrame(30.0);
  exec.advance(Seconds(1));
  EXPECT_EQ(stalls, (std::vector<bool>{true, false}));
  EXPECT_FALSE(manager.watchdogRunning());
  exec.advance(Seconds(10));
  EXPECT_EQ(stalls, (std::vector<bool>{true, false}));
  EXPECT_EQ(target->frames.size(), 1u);
}

TEST_F(CaptureTest, AFrameBeforeTheFirstTickEndsTheWatchdogQuietly) {
  run(manager.start());
  sim.latest()->deliverFrame(1.0);
  exec.advance(Seconds(10));
  EXPECT_FALSE(manager.watchdogRunning());
  EXPECT_TRUE(stalls.empty());
  EXPECT_EQ(sim.streams().size(), 1u);
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(CaptureTest, RefusedContentMarksPermissionDeniedAndRethrows) {
  sim.contentFailure = "The user declined TCCs for application, window, display capture";
  EXPECT_THROW(run(manager.start()), CaptureServiceError);
  EXPECT_TRUE(manager.permissionDenied());
  expectStoppedForGood(0);
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(CaptureTest, AStreamThatFailsToStartIsLoggedAndNeverCountedByTheWatchdog) {
  sim.startFailure = "display unavailable";
  start();
  EXPECT_FALSE(manager.isCapturing());
  EXPECT_TRUE(manager.hasStream());
  EXPECT_EQ(errorLines(), Strings{"startCapture error: display unavailable"});
  exec.advance(Seconds(30));
  EXPECT_EQ(sim.streams().size(), 1u);
  EXPECT_TRUE(stalls.empty());
  EXPECT_TRUE(manager.watchdogRunning());  // waits until cancelled
  run(manager.stop());
  EXPECT_FALSE(manager.watchdogRunning());
}

TEST_F(CaptureTest, OtherStartFailuresAreLoggedTheSameWayAndNoDisplayMeansNoStream) {
  sim.addOutputFailure = "output refused";
  run(manager.startCapture());
  sim.addOutputFailure.reset();
  sim.contentFailure = "no permission";
  run(manager.startCapture());
  EXPECT_EQ(errorLines(), (Strings{"startCapture error: output refused", "startCapture error: no permission"}));
  EXPECT_FALSE(manager.isCapturing());

  sim.contentFailure.reset();
  sim.content.displays.clear();
  run(manager.startCapture());
  EXPECT_EQ(sim.streams().size(), 1u);
  EXPECT_EQ(errorLines().size(), 2u);
}

TEST_F(CaptureTest, MaxLongEdgeIsClampedAndARepeatedValueLeavesTheStreamAlone) {
  run(manager.setMaxLongEdge(5000));  // no stream: stored only
  EXPECT_EQ(manager.maxLongEdge(), 1920);
  run(manager.setMaxLongEdge(100));
  EXPECT_EQ(manager.maxLongEdge(), 1280);
  EXPECT_TRUE(sim.contentQueries.empty());

  start();
  EXPECT_EQ(sim.latest()->configuration, expectedNormal(1280, 830));
  run(manager.setMaxLongEdge(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(manager.maxLongEdge(), 1920);
  EXPECT_EQ(sim.latest()->configuration, expectedNormal(1920, 1246));
  EXPECT_EQ(sim.latest()->calls.back(), "updateConfiguration");

  const auto calls = sim.latest()->calls;
  const auto queries = sim.contentQueries.size();
  run(manager.setMaxLongEdge(2732 * 2));
  EXPECT_EQ(sim.latest()->calls, calls);
  EXPECT_EQ(sim.contentQueries.size(), queries);
}

TEST_F(CaptureTest, LowQualitySwitchesBetweenTheTwoConfigurations) {
  run(manager.setLowQuality(true));  // no stream: nothing
  EXPECT_TRUE(sim.contentQueries.empty());
  start();
  run(manager.setLowQuality(true));
  EXPECT_EQ(sim.latest()->configuration, ScreenCaptureManager::lowQualityConfiguration());
  sim.content.displays[0] = ShareableDisplay{1, 800, 600, Rect(0, 0, 800, 600)};
  run(manager.setLowQuality(false));  // re-reads the display
  EXPECT_EQ(sim.latest()->configuration, expectedNormal(1600, 1200));

  sim.updateFailure = "busy";
  EXPECT_THROW(run(manager.setLowQuality(true)), CaptureServiceError);
}

TEST_F(CaptureTest, RefreshReaimsTheRunningStreamAtTheFirstDisplay) {
  run(manager.refreshDisplayFilter());  // no stream: no query
  EXPECT_TRUE(sim.contentQueries.empty());
  start();
  sim.content.displays[0].displayID = 9;
  run(manager.refreshDisplayFilter());
  EXPECT_EQ(sim.latest()->filter.display.displayID, 9u);
  sim.content.displays.clear();
  const auto calls = sim.latest()->calls;
  run(manager.refreshDisplayFilter());
  EXPECT_EQ(sim.latest()->calls, calls);
}

TEST_F(CaptureTest, StopEndsStreamAndWatchdogEvenWhenStoppingFails) {
  run(manager.stop());  // nothing to stop
  EXPECT_FALSE(manager.isCapturing());

  start();
  sim.stopFailure = "already stopped";
  run(manager.stop());
  EXPECT_EQ(sim.latest()->calls.back(), "stopCapture");
  expectStoppedForGood(1);
}

TEST_F(CaptureTest, AStopDuringStartLeavesNoStreamBehind) {
  TaskHandle starting = spawn(exec, manager.start());
  TaskHandle stopping = spawn(exec, manager.stop());
  exec.advance(Seconds(10));
  expectStoppedForGood(0);
  EXPECT_FALSE(starting.running());
}

TEST_F(CaptureTest, AStreamStoppedBySystemClearsTheSessionQuietly) {
  start();
  EXPECT_TRUE(manager.hasCaptureTarget());
  sim.latest()->stopWithError("display disconnected");
  exec.runUntilIdle();
  EXPECT_FALSE(manager.hasCaptureTarget());
  expectStoppedForGood(1);
  EXPECT_TRUE(logs.records().empty());

  // Frames reach a target again only once one is set anew.
  run(manager.start());
  sim.latest()->deliverFrame(1.0);
  EXPECT_TRUE(target->frames.empty());
  manager.setCaptureTarget(target);
  sim.latest()->deliverFrame(2.0);
  EXPECT_EQ(target->frames.size(), 1u);
}

TEST_F(CaptureTest, ALateErrorFromAReplacedStreamIsIgnored) {
  start();
  exec.advance(Seconds(3));  // rebuilt
  ASSERT_EQ(sim.streams().size(), 2u);
  sim.streams()[0]->stopWithError("stopped");
  exec.runUntilIdle();
  EXPECT_TRUE(manager.isCapturing());
  EXPECT_TRUE(manager.hasStream());
  EXPECT_TRUE(manager.hasCaptureTarget());
  sim.latest()->deliverFrame(5.0);
  EXPECT_EQ(target->frames.size(), 1u);
}

TEST_F(CaptureTest, DestroyingTheManagerSilencesItsStream) {
  auto owned = std::make_unique<ScreenCaptureManager>(exec, sim, sim, logs);
  owned->onCaptureStalled = [this](bool stalled) { stalls.push_back(stalled); };
  run(owned->start());
  SimCaptureStream* stream = sim.latest();
  owned.reset();
  stream->stopWithError("late");
  exec.advance(Seconds(20));
  EXPECT_TRUE(stalls.empty());
  stream->deliverFrame(1.0);  // the frame path outlives the manager harmlessly
}

}  // namespace
}  // namespace orvane
