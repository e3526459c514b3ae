// The latency clock client on the binary's own Xvfb, read back the way a
// capture sees it: from the root window's pixels.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "bench/latency/LatencyCode.h"
#include "tests/support/x11/ChildProcess.h"
#include "tests/support/x11/XServer.h"

namespace orvane::latency {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The clock client with its standard output on a pipe.
class Clock {
 public:
  explicit Clock(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    out_ = fds[0];
    std::vector<std::string> argv{ORVANE_LATENCY_CLOCK};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<test::ChildProcess>(test::ChildProcess::Options{argv, fds[1], -1, -1});
    close(fds[1]);
  }
  ~Clock() {
    process_.reset();
    close(out_);
  }
  // The next line starting with `prefix`, or nothing after `limit` or at the end of the output.
  std::optional<std::string> waitForLine(std::string_view prefix, std::chrono::milliseconds limit) {
    const auto deadline = Steady::now() + limit;
    for (;;) {
      for (std::size_t eol; (eol = buffer_.find('\n')) != std::string::npos;) {
        std::string line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        if (line.starts_with(prefix)) return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      if (left <= 0ms) return std::nullopt;
      const std::string got = test::readWithTimeout(out_, left);
      if (got.empty() && !process_->running()) return std::nullopt;
      buffer_ += got;
    }
  }
  test::ChildProcess& process() { return *process_; }

 private:
  int out_ = -1;
  std::string buffer_;
  std::unique_ptr<test::ChildProcess> process_;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (const auto end = Steady::now() + limit; !done();) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::int64_t realtimeMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class X11LatencyClock : public testing::Test {
 protected:
  void SetUp() override {
    test::sharedXServer();
    display_ = XOpenDisplay(nullptr);
    ASSERT_TRUE(display_);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }

  // The screen's pixels in a rectangle as BT.601 luma.
  std::vector<std::uint8_t> grabLuma(int x, int y, int width, int height) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, unsigned(width), unsigned(height), AllPlanes,
                              ZPixmap);
    std::vector<std::uint8_t> luma(std::size_t(width) * height);
    if (!image) return luma;
    for (int row = 0; row < height; ++row) {
      for (int col = 0; col < width; ++col) {
        const unsigned long pixel = XGetPixel(image, col, row);
        const unsigned r = (pixel >> 16) & 0xff, g = (pixel >> 8) & 0xff, b = pixel & 0xff;
        luma[std::size_t(row) * width + col] = std::uint8_t((77 * r + 150 * g + 29 * b) >> 8);
      }
    }
    XDestroyImage(image);
    return luma;
  }
  // The code as the top-left of the screen shows it now.
  std::optional<LatencyStamp> read() {
    const auto luma = grabLuma(0, 0, kStripWidth, kStripHeight);
    return decodeLatencyCode(luma.data(), kStripWidth, kStripWidth, kStripHeight, kStripWidth, kStripHeight);
  }

  Display* display_ = nullptr;
};

TEST_F(X11LatencyClock, DrawsTheTimeAndFrameStaysOnTopAndEndsCleanlyOnSigterm) {
  Clock clock({"--rate", "60"});
  ASSERT_EQ(clock.waitForLine("clock ready", 5s), "clock ready 1920x1080 rate=60 motion=none");

  const std::optional<LatencyStamp> first = read();
  ASSERT_TRUE(first);
  EXPECT_NEAR(double(first->timeUs), double(realtimeMicros()), 1e6);
  std::optional<LatencyStamp> later;
  EXPECT_TRUE(waitFor([&] { return (later = read()) && later->frame > first->frame; }, 2s));
  EXPECT_GT(later->timeUs, first->timeUs);

  // A window mapped over the code is soon under it again.
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0x808080;
  const Window cover = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 900, 100, 0, CopyFromParent,
                                     InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display_, cover);
  XSync(display_, False);
  EXPECT_TRUE(waitFor([&] { return read().has_value(); }, 2s));
  XDestroyWindow(display_, cover);

  clock.process().stop();
  EXPECT_TRUE(clock.waitForLine("clock frames=", 1s));
  ASSERT_TRUE(clock.process().exitStatus());
  EXPECT_TRUE(WIFEXITED(*clock.process().exitStatus()) && WEXITSTATUS(*clock.process().exitStatus()) == 0)
      << clock.process().describeStatus();
}

TEST_F(X11LatencyClock, FullMotionChangesTheScreenUnderTheCodeAndEndsOnTime) {
  Clock clock({"--rate", "30", "--motion", "full", "--seconds", "1.5"});
  ASSERT_EQ(clock.waitForLine("clock ready", 10s), "clock ready 1920x1080 rate=30 motion=full");
  const auto before = grabLuma(600, 400, 64, 64);
  EXPECT_TRUE(waitFor([&] { return grabLuma(600, 400, 64, 64) != before; }, 1s));
  EXPECT_TRUE(read());

  const auto end = clock.waitForLine("clock frames=", 5s);
  ASSERT_TRUE(end);
  long frames = 0, late = 0;
  ASSERT_EQ(std::sscanf(end->c_str(), "clock frames=%ld late=%ld", &frames, &late), 2) << *end;
  // 45 ticks in 1.5 s, each drawn or (on a busy machine) skipped.
  EXPECT_EQ(frames + late, 45);
  EXPECT_GE(frames, 10);
  EXPECT_TRUE(waitFor([&] { return !clock.process().running(); }, 2s));
}

}  // namespace
}  // namespace orvane::latency
