#pragma once

#include <X11/Xlib.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "tests/support/x11/MainLoop.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {

// The binary's Xvfb, the connection and executor on this thread's GLib main loop, as the host runs them.
class X11InputFixture : public testing::Test {
 protected:
  X11InputFixture() : x((test::sharedXServer(), X11Display::open())), queue(clock) {
    if (!x) throw std::runtime_error("no X display");
    x->attachToMainLoop();
  }

  // Runs the main loop until `done` holds; false when `seconds` pass first.
  bool runUntil(const std::function<bool()>& done, double seconds = 5) {
    XFlush(x->get());
    return test::runMainLoopUntil(done, seconds);
  }

  // Every keycode's keysyms, read on a connection of its own.
  static std::vector<KeySym> keyboardMapping() {
    Display* display = XOpenDisplay(nullptr);
    int min = 0, max = 0, per = 0;
    XDisplayKeycodes(display, &min, &max);
    KeySym* keysyms = XGetKeyboardMapping(display, KeyCode(min), max - min + 1, &per);
    std::vector<KeySym> all(keysyms, keysyms + (max - min + 1) * per);
    XFree(keysyms);
    XCloseDisplay(display);
    return all;
  }

  SystemClock clock;
  std::unique_ptr<X11Display> x;
  GLibExecutor queue;
};

}  // namespace orvane::x11
