#include "OrvaneMac/platform/x11/capture/X11ScreenCaptureAccess.h"

#include <X11/Xutil.h>

namespace orvane::x11 {

bool X11ScreenCaptureAccess::preflight() {
  if (refused_) return false;
  XImage* image = nullptr;
  const int error = x_.trap([&] { image = XGetImage(x_.get(), x_.root(), 0, 0, 1, 1, AllPlanes, ZPixmap); });
  if (image) XDestroyImage(image);
  return error == Success && image != nullptr;
}

}  // namespace orvane::x11
