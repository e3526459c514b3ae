#pragma once

#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/windows/X11Accessibility.h"
#include "OrvaneMac/platform/x11/windows/X11ShareableContent.h"
#include "tests/support/Await.h"
#include "tests/support/x11/XServer.h"

namespace orvane::test {

// The ports on the binary's shared Xvfb with openbox, on one connection.
class X11WindowsFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sharedXServer(); }

  void SetUp() override {
    x = x11::X11Display::open();
    ASSERT_TRUE(x);
    ax = std::make_unique<x11::X11Accessibility>(*x, clock, nullptr, x11::X11Accessibility::Options{});
    content = std::make_unique<x11::X11ShareableContent>(*x, queue, nullptr);
  }

  // Polls `done`, handling the connection's events in between.
  bool waitUntil(const std::function<bool()>& done, double seconds = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd fd{x->fd(), POLLIN, 0};
      poll(&fd, 1, 10);
      x->dispatchPending();
    }
    return true;
  }

  static TestClient::Options client(std::string title, int x, int y, int width = 400, int height = 300) {
    return {
        .title = std::move(title), .x = x, .y = y, .width = width, .height = height, .pattern = false, .extraArgs = {}};
  }

  std::vector<ShareableWindow> windows() { return await(queue, content->shareableContent(false, false)).windows; }

  std::optional<ShareableWindow> shareable(unsigned long window) {
    for (ShareableWindow& w : windows()) {
      if (w.windowID == window) return w;
    }
    return std::nullopt;
  }

  bool viewable(unsigned long window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(x->get(), window, &attributes) && attributes.map_state == IsViewable;
  }

  // The window manager's frame around the client: the root's child holding it.
  Rect outerFrame(unsigned long window) {
    ::Window current = window, root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    while (XQueryTree(x->get(), current, &root, &parent, &children, &count) && parent != root) {
      if (children) XFree(children);
      children = nullptr;
      current = parent;
    }
    if (children) XFree(children);
    int fx = 0, fy = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(x->get(), current, &root, &fx, &fy, &width, &height, &border, &depth);
    return Rect(fx, fy, width + 2.0 * border, height + 2.0 * border);
  }

  SystemClock clock;
  ManualExecutor queue;
  std::unique_ptr<x11::X11Display> x;
  std::unique_ptr<x11::X11Accessibility> ax;
  std::unique_ptr<x11::X11ShareableContent> content;
};

}  // namespace orvane::test
