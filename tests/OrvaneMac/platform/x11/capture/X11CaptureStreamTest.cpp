#include <X11/Xlib.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/x11/capture/X11CaptureStream.h"
#include "tests/support/Await.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {
namespace {

using Pixel = std::array<std::uint8_t, 4>;  // B, G, R, A

// A copy of one delivered picture.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;
  Pixel at(int x, int y) const {
    const auto* p = &bytes[static_cast<std::size_t>((y * width + x) * 4)];
    return {p[0], p[1], p[2], 0};
  }
};

class Collector final : public CaptureStreamOutput {
 public:
  void didOutputSampleBuffer(const CaptureSample& sample, StreamOutputType) override {
    const CapturedImage& image = *sample.imageBuffer;
    Picture picture{image.width, image.height, {}};
    picture.bytes.resize(static_cast<std::size_t>(image.width * image.height * 4));
    for (int y = 0; y < image.height; ++y) {
      std::memcpy(&picture.bytes[static_cast<std::size_t>(y * image.width * 4)], image.data + y * image.bytesPerRow,
                  static_cast<std::size_t>(image.width * 4));
    }
    std::lock_guard lock(mutex_);
    last_ = std::move(picture);
    ++count_;
    times_.push_back(sample.presentationTimeSeconds);
    changed_.notify_all();
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // The first picture after `seen` have arrived, within `seconds`.
  std::optional<Picture> waitBeyond(int seen, double seconds = 3) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return count_ > seen; })) return {};
    return last_;
  }
  // The latest picture or a later one for which `wanted` holds.
  template <typename Predicate>
  std::optional<Picture> waitFor(Predicate wanted, double seconds = 3) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock lock(mutex_);
    int seen = 0;
    while (changed_.wait_until(lock, deadline, [&] { return count_ > seen; })) {
      seen = count_;
      if (wanted(last_)) return last_;
    }
    return {};
  }
  std::vector<double> times() {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  Picture last_;
  std::vector<double> times_;
};

class Delegate final : public CaptureStreamDelegate {
 public:
  void didStopWithError(CaptureStream&, const std::string& description) override { errors.push_back(description); }
  std::vector<std::string> errors;
};

StreamConfiguration configuration(int width, int height, bool cursor = true) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.minimumFrameInterval = Seconds(1.0 / 30);
  c.showsCursor = cursor;
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
  // The client window's top-left corner on the root.
  std::pair<int, int> originOf(const test::TestClient& client) {
    int ox = 0, oy = 0;
    ::Window child = None;
    XTranslateCoordinates(x->get(), client.window(), x->root(), 0, 0, &ox, &oy, &child);
    return {ox, oy};
  }
  // A window of one colour over everything, which openbox leaves alone.
  ::Window showPatch(int left, int top, unsigned long rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    const ::Window w = XCreateWindow(x->get(), x->root(), left, top, 100, 100, 0, CopyFromParent, InputOutput,
                                     CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(x->get(), w);
    XSync(x->get(), False);
    return w;
  }

  ManualExecutor main;
  std::shared_ptr<Collector> output = std::make_shared<Collector>();
  std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
  std::unique_ptr<X11Display> x;
};

TEST_F(X11CaptureStreamTest, APatternComesBackScaledInBgraAtTheQuadrantCentres) {
  test::TestClient client(
      {.title = "Pattern", .x = 200, .y = 200, .width = 800, .height = 600, .pattern = true, .extraArgs = {}});
  warpPointer(1900, 1060);  // the cursor away from the samples
  auto stream = start(configuration(960, 540, false));
  const auto picture = output->waitBeyond(0);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 960);
  EXPECT_EQ(picture->height, 540);
  const auto [ox, oy] = originOf(client);
  // The drawing area fills the window above the entry and the button.
  auto sample = [&](double fx, double fy) { return picture->at((ox + int(800 * fx)) / 2, (oy + int(600 * fy)) / 2); };
  EXPECT_EQ(sample(0.25, 0.2), (Pixel{0, 0, 255, 0})) << "red";
  EXPECT_EQ(sample(0.75, 0.2), (Pixel{0, 255, 0, 0})) << "green";
  EXPECT_EQ(sample(0.25, 0.6), (Pixel{255, 0, 0, 0})) << "blue";
  EXPECT_EQ(sample(0.75, 0.6), (Pixel{255, 255, 255, 0})) << "white";
  const auto times = output->times();
  const double now = SystemClock().uptime();
  EXPECT_LE(times.front(), now);
  EXPECT_GT(times.front(), now - 5) << "monotonic seconds";
}

TEST_F(X11CaptureStreamTest, TheCursorIsDrawnWhereThePointerIs) {
  test::TestClient client(
      {.title = "Grey", .x = 300, .y = 200, .width = 600, .height = 500, .pattern = false, .extraArgs = {}});
  const auto [ox, oy] = originOf(client);
  const int px = ox + 300, py = oy + 150;
  const Pixel grey{128, 128, 128, 0};
  // Pixels near (x, y) that differ from the grey around them.
  auto cursorAt = [&](const Picture& picture, int x, int y) {
    int covered = 0;
    for (int dy = -8; dy <= 8; ++dy) {
      for (int dx = -8; dx <= 8; ++dx) covered += picture.at(x + dx, y + dy) != grey;
    }
    return covered > 10;
  };
  warpPointer(px, py);
  auto stream = start(configuration(1920, 1080));
  auto picture = output->waitFor([&](const Picture& p) { return p.at(px + 60, py + 60) == grey; });
  ASSERT_TRUE(picture) << "the client's grey";
  EXPECT_TRUE(cursorAt(*picture, px, py));

  // Moving the pointer alone produces a picture with the cursor in its new place.
  warpPointer(px + 100, py);
  picture = output->waitFor([&](const Picture& p) { return cursorAt(p, px + 100, py); });
  ASSERT_TRUE(picture);
  EXPECT_FALSE(cursorAt(*picture, px, py));
}

TEST_F(X11CaptureStreamTest, AStillScreenCostsNoGrabsUntilItChangesOrAPictureIsAskedFor) {
  warpPointer(5, 5);
  auto stream = start(configuration(960, 540));
  ASSERT_TRUE(output->waitBeyond(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the absence of grabs takes time to show
  EXPECT_EQ(stream->grabs(), 1u);
  EXPECT_EQ(output->count(), 1);

  int seen = output->count();
  stream->requestFrame();
  ASSERT_TRUE(output->waitBeyond(seen, 0.5)) << "a picture asked for comes before the refresh";
  EXPECT_EQ(stream->grabs(), 2u);

  seen = output->count();
  const ::Window patch = showPatch(400, 300, 0x00FF00);
  auto picture = output->waitBeyond(seen, 0.5);
  ASSERT_TRUE(picture) << "a change is captured";
  EXPECT_EQ(picture->at(225, 175), (Pixel{0, 255, 0, 0}));

  // With nothing happening, a refresh still comes about once a second.
  seen = output->count();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(output->waitBeyond(seen, 2));
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(700));
  XDestroyWindow(x->get(), patch);
  XSync(x->get(), False);
}

TEST_F(X11CaptureStreamTest, WithoutDamageEveryTickGrabs) {
  warpPointer(5, 5);
  auto stream = start(configuration(640, 360), X11CaptureOptions{.displayName = {}, .useDamage = false, .clock = {}});
  ASSERT_TRUE(output->waitBeyond(5, 2));
  EXPECT_GE(stream->grabs(), 6u);
}

TEST_F(X11CaptureStreamTest, ConfigurationChangesTheNextPictureAndStopEndsDelivery) {
  auto stream = start(configuration(960, 540));
  ASSERT_TRUE(output->waitBeyond(0));
  int seen = output->count();
  test::await(main, stream->updateConfiguration(configuration(320, 200)));
  auto picture = output->waitBeyond(seen);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 320);
  EXPECT_EQ(picture->height, 200);

  test::await(main, stream->stopCapture());
  EXPECT_FALSE(stream->running());
  seen = output->count();
  stream->requestFrame();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output->count(), seen);

  test::await(main, stream->startCapture());
  EXPECT_TRUE(output->waitBeyond(seen)) << "a stopped stream starts again";
  stream.reset();
  seen = output->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output->count(), seen) << "nothing after the destructor";
  EXPECT_TRUE(delegate->errors.empty());
}

TEST_F(X11CaptureStreamTest, StartFailsWithoutADisplayAndALostServerStopsTheStream) {
  auto missing = std::make_shared<X11CaptureStream>(
      main, X11CaptureOptions{.displayName = ":4321", .useDamage = true, .clock = {}}, ContentFilter{},
      configuration(320, 200), delegate);
  EXPECT_THROW(test::await(main, missing->startCapture()), CaptureServiceError);

  auto server = std::make_unique<test::XServer>(
      test::XServerOptions{.width = 640, .height = 480, .windowManager = false, .accessibilityBus = false});
  auto stream = std::make_shared<X11CaptureStream>(
      main, X11CaptureOptions{.displayName = server->display(), .useDamage = true, .clock = {}}, ContentFilter{},
      configuration(640, 480), delegate);
  stream->addStreamOutput(output, StreamOutputType::screen, "com.marlune.capture");
  test::await(main, stream->startCapture());
  ASSERT_TRUE(output->waitBeyond(0));
  server.reset();
  ASSERT_TRUE(main.runUntil([&] { return !delegate->errors.empty(); }, Seconds(5)));
  EXPECT_EQ(delegate->errors.front(), "the X connection was lost");
  EXPECT_FALSE(stream->running());
}

}  // namespace
}  // namespace orvane::x11
