// orvane-soak-motion: a screen-sized picture of noise and blocks that
// scrolls every frame, so a host capturing the screen encodes real motion
// for as long as a run lasts. Prints "motion ready WxH fps=N" once the first
// frame is shown; ends at SIGTERM or SIGINT.
//
//   orvane-soak-motion [--fps N]

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The picture repeats every kPeriod columns: a pixmap kPeriod wider than the
// screen scrolls seamlessly by copying a screen-sized part of it.
constexpr int kPeriod = 256;
constexpr int kStep = 8;

std::uint32_t pixel(int x, int y) {
  std::uint32_t h = std::uint32_t(x % kPeriod) * 0x9E3779B1u ^ std::uint32_t(y) * 0x85EBCA77u;
  h ^= h >> 15;
  const std::uint32_t noise = h & 0x3f3f3f;
  const std::uint32_t block = ((x % kPeriod) / 64 + y / 64) % 4;
  static constexpr std::uint32_t kColours[4] = {0x802020, 0x208020, 0x202080, 0x808080};
  return kColours[block] + noise;
}

class Motion {
 public:
  explicit Motion(Display* display) : display_(display) {
    const int screen = DefaultScreen(display_);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    const Window root = RootWindow(display_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixmap = None;
    window_ = XCreateWindow(display_, root, 0, 0, unsigned(width_), unsigned(height_), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect | CWBackPixmap, &attributes);
    XStoreName(display_, window_, "orvane soak motion");
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    texture_ = XCreatePixmap(display_, root, unsigned(width_ + kPeriod), unsigned(height_),
                             unsigned(DefaultDepth(display_, screen)));
    paintTexture(screen);
    XMapRaised(display_, window_);
    XSync(display_, False);
  }
  ~Motion() {
    XFreePixmap(display_, texture_);
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
  }
  Motion(const Motion&) = delete;
  Motion& operator=(const Motion&) = delete;

  void frame(long number) {
    const int offset = int((number * kStep) % kPeriod);
    XCopyArea(display_, texture_, window_, gc_, offset, 0, unsigned(width_), unsigned(height_), 0, 0);
    XSync(display_, False);  // never queue frames faster than the server draws them
  }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  // Row by row, so the client never holds a screen's worth of pixels.
  void paintTexture(int screen) {
    const int textureWidth = width_ + kPeriod;
    std::vector<std::uint32_t> row(static_cast<std::size_t>(textureWidth));
    XImage* image = XCreateImage(display_, DefaultVisual(display_, screen), unsigned(DefaultDepth(display_, screen)),
                                 ZPixmap, 0, reinterpret_cast<char*>(row.data()), unsigned(textureWidth), 1, 32, 0);
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < textureWidth; ++x) row[std::size_t(x)] = pixel(x, y);
      XPutImage(display_, texture_, gc_, image, 0, 0, 0, y, unsigned(textureWidth), 1);
    }
    image->data = nullptr;  // the vector owns the pixels
    XDestroyImage(image);
  }

  Display* display_;
  int width_ = 0, height_ = 0;
  Window window_ = 0;
  GC gc_ = nullptr;
  Pixmap texture_ = 0;
};

timespec plus(timespec t, long nanoseconds) {
  t.tv_nsec += nanoseconds;
  while (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int fps = 30;
  if (argc == 3 && std::strcmp(argv[1], "--fps") == 0) {
    fps = std::atoi(argv[2]);
  } else if (argc != 1) {
    fps = 0;
  }
  if (fps < 1 || fps > 120) {
    std::fprintf(stderr, "usage: orvane-soak-motion [--fps 1..120]\n");
    return 2;
  }
  // The stop signals are taken between frames, so nothing runs in a handler.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "orvane-soak-motion: cannot open the display\n");
    return 1;
  }
  {
    Motion motion(display);
    motion.frame(0);
    std::printf("motion ready %dx%d fps=%d\n", motion.width(), motion.height(), fps);
    std::fflush(stdout);
    const long period = 1'000'000'000L / fps;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long number = 1;; ++number) {
      next = plus(next, period);
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long wait = (next.tv_sec - now.tv_sec) * 1'000'000'000L + (next.tv_nsec - now.tv_nsec);
      if (wait > 0) {
        const timespec timeout{wait / 1'000'000'000L, wait % 1'000'000'000L};
        if (sigtimedwait(&stop, nullptr, &timeout) >= 0) break;
      } else {
        next = now;  // late: do not try to catch up in a burst
        sigset_t pending;
        if (sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1)) {
          break;
        }
      }
      motion.frame(number);
    }
  }
  XCloseDisplay(display);
  return 0;
}
