#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>

#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// A 32-bit BGRA picture in a shared memory segment the X server writes into.
// The segment outlives the connection's use of it: detach() ends the
// server's side (on the connection's thread), while the pixels stay readable
// until the last holder drops the object, on any thread.
class ShmImage {
 public:
  // Throws CaptureServiceError when the screen's pixels are not 32-bit BGRA
  // or shared memory cannot be set up with the server.
  static std::shared_ptr<ShmImage> create(X11Display& x, int width, int height);
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  // XShmGetImage of the root at (x, y), the image's size. False when the
  // server refused (the rectangle left the screen, the connection broke).
  bool grab(X11Display& x, int left, int top);
  // Ends the server's use of the segment; grab() must not be called after.
  void detach(X11Display& x);

  std::uint8_t* data() const { return reinterpret_cast<std::uint8_t*>(segment_.shmaddr); }
  int width() const { return width_; }
  int height() const { return height_; }
  int bytesPerRow() const { return bytesPerRow_; }

 private:
  ShmImage() = default;

  XShmSegmentInfo segment_{};
  XImage* image_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int bytesPerRow_ = 0;
  bool attached_ = false;
};

}  // namespace orvane::x11
