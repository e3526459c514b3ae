// bench_capture: the X11 capture path on an Xvfb of its own (or $DISPLAY with
// --use-display). Per case, the cost of one capture tick on the capture
// thread (events, damage, pointer, shared-memory grab, scale, cursor) at
// 1920x1080 into 1920x1080 and 1280x720, on a screen that changes every frame
// and on a still one, with and without damage tracking; then the process's
// CPU, as a share of one core, for a running 30 fps stream on a still screen.
//
//   bench_capture [--frames N] [--idle-seconds S] [--use-display]
//   (default: 200 frames per case, 5 s per idle run)

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <libyuv/scale_argb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/x11/capture/ScreenGrabber.h"
#include "OrvaneMac/platform/x11/capture/X11CaptureStream.h"
#include "tests/support/Await.h"
#include "tests/support/x11/XServer.h"

namespace {

using namespace orvane;
using namespace orvane::x11;
using Steady = std::chrono::steady_clock;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of our Xvfb child (0 when the bench uses someone else's server).
double serverCpuSeconds() {
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  double total = 0;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos || line.find("(Xvfb)") == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string state;
    long ppid = 0;
    fields >> state >> ppid;
    if (ppid != getpid()) continue;
    std::string skip;
    for (int i = 0; i < 9; ++i) fields >> skip;  // pgrp ... cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    total += (utime + stime) / double(sysconf(_SC_CLK_TCK));
  }
  closedir(proc);
  return total;
}

double msSince(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

struct Figures {
  double mean = 0, p50 = 0, p95 = 0;
};

Figures summarise(std::vector<double> values) {
  Figures f;
  if (values.empty()) return f;
  std::sort(values.begin(), values.end());
  for (double v : values) f.mean += v;
  f.mean /= double(values.size());
  f.p50 = values[values.size() / 2];
  f.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
  return f;
}

// The bench's own connection: a full-screen window with a busy picture, a
// moving bar to change it, the pointer in the middle.
class Desktop {
 public:
  Desktop() : d_(XOpenDisplay(nullptr)) {
    if (!d_) throw std::runtime_error("no display");
    const int screen = DefaultScreen(d_);
    width_ = DisplayWidth(d_, screen);
    height_ = DisplayHeight(d_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    window_ = XCreateWindow(d_, DefaultRootWindow(d_), 0, 0, unsigned(width_), unsigned(height_), 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
    XMapRaised(d_, window_);
    gc_ = XCreateGC(d_, window_, 0, nullptr);
    // Content that is not flat, so scaling does real work.
    XImage* image = XCreateImage(d_, DefaultVisual(d_, screen), 24, ZPixmap, 0, nullptr, unsigned(width_),
                                 unsigned(height_), 32, 0);
    image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * size_t(height_)));
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        const unsigned long rgb =
            (unsigned(x * 7) & 0xFF) << 16 | (unsigned(y * 3) & 0xFF) << 8 | (unsigned(x ^ y) & 0xFF);
        XPutPixel(image, x, y, rgb);
      }
    }
    XPutImage(d_, window_, gc_, image, 0, 0, 0, 0, unsigned(width_), unsigned(height_));
    XDestroyImage(image);
    XWarpPointer(d_, None, DefaultRootWindow(d_), 0, 0, 0, 0, width_ / 2, height_ / 2);
    XSync(d_, False);
  }
  ~Desktop() { XCloseDisplay(d_); }

  // A 200x200 bar a little further along each time.
  void change() {
    XSetForeground(d_, gc_, (step_ * 0x10305u) & 0xFFFFFF);
    XFillRectangle(d_, window_, gc_, (step_ * 37) % (width_ - 200), (step_ * 23) % (height_ - 200), 200, 200);
    ++step_;
    XSync(d_, False);
  }

 private:
  Display* d_;
  ::Window window_ = 0;
  GC gc_ = nullptr;
  int width_ = 0, height_ = 0;
  int step_ = 0;
};

void perFrame(Desktop& desktop, int frames, int width, int height, bool damage, bool changing) {
  ScreenGrabber grabber("", damage);
  GrabSettings settings;
  settings.width = width;
  settings.height = height;
  grabber.configure(settings);
  // The first grab sets up the buffers; it is not what a frame costs.
  grabber.poll();
  grabber.grab();
  std::vector<double> ticks;
  int pictures = 0;
  for (int i = 0; i < frames; ++i) {
    if (changing) desktop.change();
    const auto start = Steady::now();
    if (grabber.poll()) pictures += grabber.grab().has_value();
    ticks.push_back(msSince(start));
  }
  const Figures f = summarise(ticks);
  std::printf("  1920x1080 -> %4dx%-4d  %-9s %-8s  per tick: mean %6.3f ms  p50 %6.3f  p95 %6.3f   pictures %d/%d\n",
              width, height, damage ? "damage" : "no-damage", changing ? "changing" : "still", f.mean, f.p50, f.p95,
              pictures, frames);
}

void scaleOnly(int frames) {
  std::vector<std::uint8_t> source(1920 * 1080 * 4, 0x55), target(1920 * 1080 * 4);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = std::uint8_t(i * 31 >> 3);
  for (auto [name, filter] : {std::pair{"bilinear", libyuv::kFilterBilinear}, std::pair{"box", libyuv::kFilterBox}}) {
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
      const auto start = Steady::now();
      libyuv::ARGBScale(source.data(), 1920 * 4, 1920, 1080, target.data(), 1280 * 4, 1280, 720, filter);
      times.push_back(msSince(start));
    }
    const Figures f = summarise(times);
    std::printf("  scale only 1920x1080 -> 1280x720 %-8s  mean %6.3f ms  p50 %6.3f  p95 %6.3f\n", name, f.mean, f.p50,
                f.p95);
  }
}

struct NullOutput final : CaptureStreamOutput {
  void didOutputSampleBuffer(const CaptureSample&, StreamOutputType) override {}
};

void idle(double seconds, int width, int height, bool damage) {
  ManualExecutor main;
  StreamConfiguration configuration;
  configuration.width = width;
  configuration.height = height;
  configuration.minimumFrameInterval = Seconds(1.0 / 30);
  X11CaptureOptions options;
  options.useDamage = damage;
  X11CaptureStream stream(main, options, ContentFilter{}, configuration, {});
  stream.addStreamOutput(std::make_shared<NullOutput>(), StreamOutputType::screen, "com.marlune.capture");
  test::await(main, stream.startCapture());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the first picture
  const double cpuBefore = cpuSeconds(), serverBefore = serverCpuSeconds();
  const std::uint64_t grabsBefore = stream.grabs(), framesBefore = stream.framesDelivered();
  const auto start = Steady::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = msSince(start) / 1000;
  const double cpu = cpuSeconds() - cpuBefore, server = serverCpuSeconds() - serverBefore;
  std::printf(
      "  still screen, 30 fps, 1920x1080 -> %4dx%-4d %-9s  CPU %5.2f %% of a core (Xvfb %5.2f %%)   grabs %.1f/s  "
      "pictures %.1f/s\n",
      width, height, damage ? "damage" : "no-damage", 100 * cpu / wall, 100 * server / wall,
      double(stream.grabs() - grabsBefore) / wall, double(stream.framesDelivered() - framesBefore) / wall);
  test::await(main, stream.stopCapture());
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 200;
  double idleSeconds = 5;
  bool useDisplay = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames" && i + 1 < argc) {
      frames = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      idleSeconds = std::max(0.1, std::atof(argv[++i]));
    } else if (arg == "--use-display") {
      useDisplay = true;
    } else {
      std::fprintf(stderr, "usage: bench_capture [--frames N] [--idle-seconds S] [--use-display]\n");
      return 2;
    }
  }
  std::unique_ptr<test::XServer> server;
  if (!useDisplay)
    server = std::make_unique<test::XServer>(
        test::XServerOptions{.width = 1920, .height = 1080, .windowManager = false, .accessibilityBus = false});
  Desktop desktop;
  std::printf("capture tick (poll + grab + scale + cursor), %d frames each:\n", frames);
  for (auto [w, h] : {std::pair{1920, 1080}, std::pair{1280, 720}}) {
    perFrame(desktop, frames, w, h, true, true);
    perFrame(desktop, frames, w, h, true, false);
    perFrame(desktop, frames, w, h, false, true);
  }
  scaleOnly(frames);
  std::printf("running stream, %.1f s each:\n", idleSeconds);
  idle(idleSeconds, 1920, 1080, true);
  idle(idleSeconds, 1280, 720, true);
  idle(idleSeconds, 1280, 720, false);
  return 0;
}
