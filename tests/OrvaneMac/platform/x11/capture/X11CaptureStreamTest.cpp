#include <X11/Xlib.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/x11/capture/X11CaptureStream.h"
#include "tests/support/Await.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {
namespace {

using Pixel = std::array<std::uint8_t, 3>;  // B, G, R

struct Picture {
  int width = 0, height = 0, stride = 0;
  double time = 0;
  std::vector<std::uint8_t> bytes;
  Pixel at(int x, int y) const {
    const auto* p = &bytes[static_cast<std::size_t>(y * stride + x * 4)];
    return {p[0], p[1], p[2]};
  }
};

class Collector final : public CaptureStreamOutput {
 public:
  void didOutputSampleBuffer(const CaptureSample& sample, StreamOutputType) override {
    const CapturedImage& image = *sample.imageBuffer;
    std::lock_guard lock(mutex_);
    last_ = {image.width, image.height, image.bytesPerRow, sample.presentationTimeSeconds,
             {image.data, image.data + image.height * image.bytesPerRow}};
    ++count_;
    changed_.notify_all();
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // The first picture after `seen` have arrived for which `wanted` holds, within `seconds`.
  std::optional<Picture> waitFor(int seen, const std::function<bool(const Picture&)>& wanted = {}, double seconds = 3) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock lock(mutex_);
    while (changed_.wait_until(lock, deadline, [&] { return count_ > seen; })) {
      seen = count_;
      if (!wanted || wanted(last_)) return last_;
    }
    return {};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  Picture last_;
};

class Delegate final : public CaptureStreamDelegate {
 public:
  void didStopWithError(CaptureStream&, const std::string& description) override { errors.push_back(description); }
  std::vector<std::string> errors;
};

StreamConfiguration configuration(int width, int height, bool cursor = true) {
  StreamConfiguration c;
  c.width = width, c.height = height, c.showsCursor = cursor;
  c.minimumFrameInterval = Seconds(1.0 / 30);
  return c;
}

class X11CaptureStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    test::sharedXServer();
    x = X11Display::open();
    ASSERT_TRUE(x);
  }
  std::shared_ptr<X11CaptureStream> start(StreamConfiguration c, X11CaptureOptions options = {}) {
    auto stream = std::make_shared<X11CaptureStream>(main, options, ContentFilter{}, c, delegate);
    stream->addStreamOutput(output, StreamOutputType::screen, "com.marlune.capture");
    test::await(main, stream->startCapture());
    return stream;
  }
  void warpPointer(int rootX, int rootY) {
    XWarpPointer(x->get(), None, x->root(), 0, 0, 0, 0, rootX, rootY);
    XSync(x->get(), False);
  }

  ManualExecutor main;
  std::shared_ptr<Collector> output = std::make_shared<Collector>();
  std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
  std::unique_ptr<X11Display> x;
};

TEST_F(X11CaptureStreamTest, APatternComesBackScaledThenTheCursorIsDrawnWhereThePointerIs) {
  test::TestClient client(
      {.title = "Pattern", .x = 200, .y = 200, .width = 800, .height = 600, .pattern = true, .extraArgs = {}});
  warpPointer(1900, 1060);  // the cursor away from the samples
  auto stream = start(configuration(960, 540, false));
  auto picture = output->waitFor(0);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 960);
  EXPECT_EQ(picture->height, 540);
  int ox = 0, oy = 0;
  ::Window child = None;
  XTranslateCoordinates(x->get(), client.window(), x->root(), 0, 0, &ox, &oy, &child);
  // The drawing area fills the window above the entry and the button.
  auto sample = [&](double fx, double fy) { return picture->at((ox + int(800 * fx)) / 2, (oy + int(600 * fy)) / 2); };
  EXPECT_EQ(sample(0.25, 0.2), (Pixel{0, 0, 255})) << "red";
  EXPECT_EQ(sample(0.75, 0.2), (Pixel{0, 255, 0})) << "green";
  EXPECT_EQ(sample(0.25, 0.6), (Pixel{255, 0, 0})) << "blue";
  EXPECT_EQ(sample(0.75, 0.6), (Pixel{255, 255, 255})) << "white";
  const double now = SystemClock().uptime();
  EXPECT_LE(picture->time, now);
  EXPECT_GT(picture->time, now - 5) << "monotonic seconds";

  // At full size with the cursor: it is over the red quadrant where the pointer is, and follows it.
  const int px = ox + 150, py = oy + 100;
  auto cursorAt = [&](const Picture& p, int x, int y) {  // enough pixels near (x, y) are not red
    int covered = 0;
    for (int dy = -8; dy <= 8; ++dy) {
      for (int dx = -8; dx <= 8; ++dx) covered += p.at(x + dx, y + dy) != Pixel{0, 0, 255};
    }
    return covered > 10;
  };
  warpPointer(px, py);
  test::await(main, stream->updateConfiguration(configuration(1920, 1080)));
  picture = output->waitFor(0, [&](const Picture& p) { return p.width == 1920 && p.height == 1080; });
  ASSERT_TRUE(picture) << "the new size applies";
  EXPECT_TRUE(cursorAt(*picture, px, py));
  warpPointer(px + 100, py);
  picture = output->waitFor(0, [&](const Picture& p) { return cursorAt(p, px + 100, py); });
  ASSERT_TRUE(picture) << "moving the pointer alone produces a picture";
  EXPECT_FALSE(cursorAt(*picture, px, py));
  // Asked for more than the screen (a Retina-sized picture), it stays at the screen's size.
  test::await(main, stream->updateConfiguration(configuration(2560, 1600)));
  EXPECT_TRUE(output->waitFor(0, [&](const Picture& p) { return p.width == 1728 && p.height == 1080; }));
}

TEST_F(X11CaptureStreamTest, AStillScreenCostsNoGrabsUntilItChangesOrIsAskedForAndStopEndsDelivery) {
  warpPointer(5, 5);
  // A slow schedule shows that a change or a request after a quiet spell does not wait for the next tick.
  StreamConfiguration slow = configuration(960, 540);
  slow.minimumFrameInterval = Seconds(0.5);
  auto stream = start(slow);
  ASSERT_TRUE(output->waitFor(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the absence of grabs takes time to show
  EXPECT_EQ(stream->grabs(), 1u);
  EXPECT_EQ(output->count(), 1);

  stream->requestFrame();
  ASSERT_TRUE(output->waitFor(1, {}, 0.25)) << "a picture asked for comes at once";
  EXPECT_EQ(stream->grabs(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));

  // A green patch over everything, which openbox leaves alone.
  int seen = output->count();
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0x00FF00;
  const ::Window patch = XCreateWindow(x->get(), x->root(), 400, 300, 100, 100, 0, CopyFromParent, InputOutput,
                                       CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(x->get(), patch);
  XSync(x->get(), False);
  auto picture = output->waitFor(seen, {}, 0.25);
  ASSERT_TRUE(picture) << "a change is captured at once";
  EXPECT_EQ(picture->at(225, 175), (Pixel{0, 255, 0}));

  // With nothing happening, a refresh still comes about once a second.
  seen = output->count();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(output->waitFor(seen, {}, 2));
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(700));
  XDestroyWindow(x->get(), patch);
  XSync(x->get(), False);

  test::await(main, stream->stopCapture());
  EXPECT_FALSE(stream->running());
  seen = output->count();
  stream->requestFrame();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output->count(), seen);

  test::await(main, stream->startCapture());
  EXPECT_TRUE(output->waitFor(seen)) << "a stopped stream starts again";
  stream.reset();
  seen = output->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output->count(), seen) << "nothing after the destructor";
  EXPECT_TRUE(delegate->errors.empty());
}

TEST_F(X11CaptureStreamTest, WithoutDamageEveryTickGrabs) {
  warpPointer(5, 5);
  auto stream = start(configuration(640, 360), X11CaptureOptions{.displayName = {}, .useDamage = false, .clock = {}});
  ASSERT_TRUE(output->waitFor(5, {}, 2));
  EXPECT_GE(stream->grabs(), 6u);
}

TEST_F(X11CaptureStreamTest, StartFailsWithoutADisplayAndALostServerStopsTheStream) {
  EXPECT_THROW(start(configuration(320, 200), {.displayName = ":4321", .useDamage = true, .clock = {}}),
               CaptureServiceError);

  auto server = std::make_unique<test::XServer>(
      test::XServerOptions{.width = 640, .height = 480, .windowManager = false, .accessibilityBus = false});
  auto stream = start(configuration(640, 480), {.displayName = server->display(), .useDamage = true, .clock = {}});
  ASSERT_TRUE(output->waitFor(0));
  server.reset();
  ASSERT_TRUE(main.runUntil([&] { return !delegate->errors.empty(); }, Seconds(5)));
  EXPECT_EQ(delegate->errors.front(), "the X connection was lost");
  EXPECT_FALSE(stream->running());
}

}  // namespace
}  // namespace orvane::x11
