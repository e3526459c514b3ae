#pragma once

#include <X11/Xlib.h>

#include <string>

#include "bench/latency/LatencyCode.h"

namespace orvane::latency {

enum class Motion { none, full };

// The latency code's window on an X display: override-redirect at (0,0),
// kept above everything else, and with Motion::full a screen-sized window
// beneath it whose picture scrolls every frame, like a playing video.
class LatencyClock {
 public:
  // Throws std::runtime_error when the display cannot be opened or (for
  // motion) is not 24-bit true colour.
  LatencyClock(const std::string& display, Motion motion);
  ~LatencyClock();
  LatencyClock(const LatencyClock&) = delete;
  LatencyClock& operator=(const LatencyClock&) = delete;

  int screenWidth() const { return screenWidth_; }
  int screenHeight() const { return screenHeight_; }

  // One frame: the motion step, then the code for `stamp`; returns once the
  // server has drawn it.
  void draw(LatencyStamp stamp);

 private:
  void createTexture();
  void keepOnTop();
  bool onTop();

  Display* display_ = nullptr;
  int screenWidth_ = 0;
  int screenHeight_ = 0;
  Window code_ = 0;
  Window motion_ = 0;
  Pixmap strip_ = 0;
  Pixmap texture_ = 0;
  GC white_ = nullptr;
  GC black_ = nullptr;
  long frames_ = 0;
  int scrollX_ = 0;
  int scrollY_ = 0;
};

}  // namespace orvane::latency
