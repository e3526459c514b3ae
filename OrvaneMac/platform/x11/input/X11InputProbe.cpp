#include "OrvaneMac/platform/x11/input/X11InputProbe.h"

#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace orvane::x11 {

bool xinput22Available(X11Display& display) {
  if (display.broken()) return false;
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(display.get(), "XInputExtension", &opcode, &event, &error)) return false;
  int major = 2, minor = 2;
  Status status = BadRequest;
  // An older server answers with an error, which must not end the process.
  const int failure = display.trap([&] { status = XIQueryVersion(display.get(), &major, &minor); });
  return failure == Success && status == Success && (major > 2 || (major == 2 && minor >= 2));
}

bool x11InputAvailable(X11Display& display) {
  if (display.broken()) return false;
  int event = 0, error = 0, major = 0, minor = 0;
  return XTestQueryExtension(display.get(), &event, &error, &major, &minor) && xinput22Available(display);
}

}  // namespace orvane::x11
