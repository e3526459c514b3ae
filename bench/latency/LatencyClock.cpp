#include "bench/latency/LatencyClock.h"

#include <X11/Xutil.h>

#include <cstdlib>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace orvane::latency {

namespace {

// How far the motion picture scrolls per frame: steps sharing no factor with
// common screen sizes, so the picture does not repeat for minutes.
constexpr int kScrollX = 13;
constexpr int kScrollY = 7;
// Side of the texture's flat-coloured tiles under the noise.
constexpr int kTile = 48;
// The stacking is checked every so many frames even without a visibility
// change: a window covering part of the motion window sends us nothing.
constexpr long kStackCheckFrames = 60;

Window overrideRedirectWindow(Display* display, int x, int y, int width, int height, long events) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, DefaultScreen(display));
  attributes.event_mask = events;
  return XCreateWindow(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height), 0,
                       CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                       &attributes);
}

// xorshift32: the texture only has to look like noise to the encoder.
std::uint32_t nextRandom(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

}  // namespace

LatencyClock::LatencyClock(const std::string& display, Motion motion) {
  display_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
  if (!display_) {
    throw std::runtime_error("cannot open display " + (display.empty() ? std::string("$DISPLAY") : display));
  }
  const int screen = DefaultScreen(display_);
  screenWidth_ = DisplayWidth(display_, screen);
  screenHeight_ = DisplayHeight(display_, screen);
  XGCValues values{};
  values.foreground = WhitePixel(display_, screen);
  values.graphics_exposures = False;
  white_ = XCreateGC(display_, DefaultRootWindow(display_), GCForeground | GCGraphicsExposures, &values);
  values.foreground = BlackPixel(display_, screen);
  black_ = XCreateGC(display_, DefaultRootWindow(display_), GCForeground | GCGraphicsExposures, &values);

  if (motion == Motion::full) {
    createTexture();
    motion_ = overrideRedirectWindow(display_, 0, 0, screenWidth_, screenHeight_, VisibilityChangeMask);
    XSetWindowBackgroundPixmap(display_, motion_, None);  // no flash of black between frames
    XStoreName(display_, motion_, "orvane latency motion");
    XMapRaised(display_, motion_);
  }
  strip_ = XCreatePixmap(display_, DefaultRootWindow(display_), kStripWidth, kStripHeight,
                         unsigned(DefaultDepth(display_, screen)));
  code_ = overrideRedirectWindow(display_, 0, 0, kStripWidth, kStripHeight, VisibilityChangeMask);
  XStoreName(display_, code_, "orvane latency clock");
  XMapRaised(display_, code_);
  XSync(display_, False);
}

LatencyClock::~LatencyClock() {
  if (texture_) XFreePixmap(display_, texture_);
  XFreePixmap(display_, strip_);
  XFreeGC(display_, white_);
  XFreeGC(display_, black_);
  XCloseDisplay(display_);  // takes the windows along
}

// A screen-sized tile of coloured blocks under per-pixel noise, laid 2x2 into
// a pixmap twice the screen's size: any screen-sized part of it scrolls
// seamlessly, and copying one is all a frame costs.
void LatencyClock::createTexture() {
  const int screen = DefaultScreen(display_);
  Visual* visual = DefaultVisual(display_, screen);
  if (DefaultDepth(display_, screen) != 24 || visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 ||
      visual->blue_mask != 0xff) {
    throw std::runtime_error("--motion full needs a 24-bit true-colour screen");
  }
  const int width = screenWidth_, height = screenHeight_;
  auto* data = static_cast<char*>(std::malloc(std::size_t(width) * height * 4));
  if (!data) throw std::runtime_error("out of memory for the motion texture");
  XImage* image = XCreateImage(display_, visual, 24, ZPixmap, 0, data, unsigned(width), unsigned(height), 32, 0);
  if (!image) {
    std::free(data);
    throw std::runtime_error("cannot create the motion texture");
  }
  std::uint32_t state = 0x9E3779B9u;
  const int tilesAcross = (width + kTile - 1) / kTile;
  std::vector<std::uint32_t> tileColours(std::size_t(tilesAcross) * ((height + kTile - 1) / kTile));
  for (auto& colour : tileColours) colour = nextRandom(state) & 0xC0C0C0;
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(image->data + std::ptrdiff_t(y) * image->bytes_per_line);
    for (int x = 0; x < width; ++x) {
      const std::uint32_t noise = nextRandom(state) & 0x3F3F3F;
      row[x] = tileColours[std::size_t(y / kTile) * tilesAcross + std::size_t(x / kTile)] + noise;
    }
  }
  texture_ = XCreatePixmap(display_, DefaultRootWindow(display_), unsigned(2 * width), unsigned(2 * height), 24);
  for (int quadrant = 0; quadrant < 4; ++quadrant) {
    XPutImage(display_, texture_, white_, image, 0, 0, (quadrant % 2) * width, (quadrant / 2) * height,
              unsigned(width), unsigned(height));
  }
  XDestroyImage(image);  // frees `data`
}

void LatencyClock::draw(LatencyStamp stamp) {
  keepOnTop();
  if (motion_) {
    scrollX_ = (scrollX_ + kScrollX) % screenWidth_;
    scrollY_ = (scrollY_ + kScrollY) % screenHeight_;
    XCopyArea(display_, texture_, motion_, white_, scrollX_, scrollY_, unsigned(screenWidth_), unsigned(screenHeight_),
              0, 0);
  }
  const LatencyBits bits = encodeLatencyCode(stamp);
  XRectangle ones[kBits], zeros[kBits];
  int oneCount = 0, zeroCount = 0;
  for (int i = 0; i < kBits; ++i) {
    const XRectangle cell{short((i % kColumns) * kCellPixels), short((i / kColumns) * kCellPixels),
                          static_cast<unsigned short>(kCellPixels), static_cast<unsigned short>(kCellPixels)};
    if (bits[std::size_t(i)]) {
      ones[oneCount++] = cell;
    } else {
      zeros[zeroCount++] = cell;
    }
  }
  // Drawn off screen and copied in one request: a grab never sees half a code.
  XFillRectangles(display_, strip_, white_, ones, oneCount);
  XFillRectangles(display_, strip_, black_, zeros, zeroCount);
  XCopyArea(display_, strip_, code_, white_, 0, 0, kStripWidth, kStripHeight, 0, 0);
  XSync(display_, False);
  ++frames_;
}

// Raised again when covered: at once when the code window is (or the motion
// window wholly), else at the next stacking check, as the code window always
// covers a little of the motion window.
void LatencyClock::keepOnTop() {
  bool covered = false;
  while (XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type != VisibilityNotify) continue;
    const XVisibilityEvent& visibility = event.xvisibility;
    if ((visibility.window == code_ && visibility.state != VisibilityUnobscured) ||
        (visibility.window == motion_ && visibility.state == VisibilityFullyObscured)) {
      covered = true;
    }
  }
  if (!covered && (frames_ % kStackCheckFrames != 0 || onTop())) return;
  if (motion_) XRaiseWindow(display_, motion_);
  XRaiseWindow(display_, code_);
}

// Whether our windows are the topmost children of the root, the code window last.
bool LatencyClock::onTop() {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return true;
  bool top = count >= 1 && children[count - 1] == code_;
  if (motion_) top = top && count >= 2 && children[count - 2] == motion_;
  if (children) XFree(children);
  return top;
}

}  // namespace orvane::latency
