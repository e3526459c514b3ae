#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cmath>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "tests/OrvaneMac/platform/x11/windows/X11WindowsFixture.h"

namespace orvane::test {
namespace {

class OwnProcess final : public ProcessInfo {
 public:
  std::int32_t processIdentifier() const override { return getpid(); }
};

// The injector's window operations on the X11 ports, on the window the
// coordinator captured. Fitting to the pad is X11HostTest's.
class X11WindowOperationsTest : public X11WindowsFixture {
 protected:
  void SetUp() override {
    X11WindowsFixture::SetUp();
    poster = std::make_unique<x11::X11EventPoster>(*x, queue);
    screens = std::make_unique<x11::X11Screens>(*x);
    injector = std::make_unique<InputInjector>(queue, *poster, *ax, *screens, process, log);
  }
  void TearDown() override {
    injector.reset();
    poster.reset();
  }

  // How many of the two maximised states the window's _NET_WM_STATE holds.
  long maximizedStates(unsigned long window) {
    const auto states = x->cardinals(window, "_NET_WM_STATE", XA_ATOM);
    if (!states) return 0;
    return std::count(states->begin(), states->end(), x->atom("_NET_WM_STATE_MAXIMIZED_VERT")) +
           std::count(states->begin(), states->end(), x->atom("_NET_WM_STATE_MAXIMIZED_HORZ"));
  }

  OwnProcess process;
  CapturingLogSink log;
  std::unique_ptr<x11::X11EventPoster> poster;
  std::unique_ptr<x11::X11Screens> screens;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(X11WindowOperationsTest, MoveResizeZoomMinimizeAndCloseTheCapturedWindow) {
  TestClient a(client("Captured", 150, 120));
  injector->setCapturedWindowPID(a.pid());
  injector->setCapturedAXWindow(ax->windowElement(a.window()));
  injector->setCapturedWindowFrame(shareable(a.window())->frame);
  injector->resize(900, 600);
  injector->move(40, 30);
  const Rect frame(40, 30, 900, 600);
  EXPECT_EQ(injector->capturedWindowFrame(), frame) << "read back through the port straight after";
  EXPECT_EQ(outerFrame(a.window()), frame);

  injector->zoom();
  EXPECT_TRUE(waitUntil([&] { return maximizedStates(a.window()) == 2; }));
  injector->zoom();
  EXPECT_TRUE(waitUntil([&] { return maximizedStates(a.window()) == 0 && outerFrame(a.window()) == frame; }))
      << "restored to where it was";

  injector->minimize();
  EXPECT_TRUE(waitUntil([&] {
    const auto state = x->cardinals(a.window(), "WM_STATE", x->atom("WM_STATE"));
    return state && !state->empty() && (*state)[0] == IconicState && !viewable(a.window());
  }));
  const AXElement window = ax->windowElement(a.window());
  EXPECT_EQ(std::get<bool>(ax->copyAttributeValue(window, kAXMinimizedAttribute).value), true);
  EXPECT_FALSE(shareable(a.window())->isOnScreen);
  EXPECT_EQ(ax->setAttributeValue(window, kAXMinimizedAttribute, false), kAXErrorSuccess);
  EXPECT_TRUE(waitUntil([&] { return viewable(a.window()); }));

  // Values far out of range are clamped, not refused; a value of the wrong kind is.
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Size{1e12, -5}), kAXErrorSuccess);
  EXPECT_EQ(ax->setAttributeValue(window, kAXPositionAttribute, Point{-1e15, 1e15}), kAXErrorSuccess);
  const Rect far = outerFrame(a.window());
  EXPECT_LE(std::fabs(far.minX()), 32767 + far.width());
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Point{1, 2}), kAXErrorIllegalArgument);

  injector->close();
  EXPECT_TRUE(waitUntil([&] { return !a.running(); }));
  EXPECT_TRUE(waitUntil([&] { return !shareable(a.window()); }));
  injector->minimize();
  EXPECT_EQ(log.messages().back(), "minimize: iconify window at (40,30) FAIL invalidUIElement(-25202)");
}

}  // namespace
}  // namespace orvane::test
