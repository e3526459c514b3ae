#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "OrvaneMac/platform/x11/capture/X11DisplayScale.h"
#include "OrvaneMac/platform/x11/capture/X11Displays.h"
#include "OrvaneMac/platform/x11/capture/X11PowerAssertions.h"
#include "OrvaneMac/platform/x11/capture/X11ScreenCaptureAccess.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {
namespace {

class X11ScreenPortsTest : public testing::Test {
 protected:
  void SetUp() override {
    test::sharedXServer();
    x = X11Display::open();
    ASSERT_TRUE(x);
  }
  void setWorkArea(const std::vector<long>& values) {
    XChangeProperty(x->get(), x->root(), x->atom("_NET_WORKAREA"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    XSync(x->get(), False);
  }
  std::unique_ptr<X11Display> x;
};

TEST_F(X11ScreenPortsTest, OneMainDisplayWithFrameWorkAreaAndScaleThatCanBeReadUntilTheConnectionBreaks) {
  const auto displays = x11Displays(*x);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].width, 1920);
  EXPECT_EQ(displays[0].height, 1080);
  EXPECT_EQ(displays[0].frame, Rect(0, 0, 1920, 1080));

  const auto saved = x->cardinals(x->root(), "_NET_WORKAREA");
  X11Screens screens(*x);
  // Desktop 0 (openbox's current one) has a 30-pixel panel on top and a 50-pixel one below.
  setWorkArea({0, 30, 1920, 1000, 0, 0, 1920, 1080});
  auto screen = screens.mainScreen();
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->frame, Rect(0, 0, 1920, 1080));
  EXPECT_EQ(screen->visibleFrame, Rect(0, 50, 1920, 1000));
  XDeleteProperty(x->get(), x->root(), x->atom("_NET_WORKAREA"));
  EXPECT_EQ(screens.mainScreen().value().visibleFrame, Rect(0, 0, 1920, 1080));
  if (saved) setWorkArea({saved->begin(), saved->end()});

  X11DisplayScale scale(*x);
  const std::string resources = "Xcursor.size:\t24\nXft.dpi:\t144\n";
  XChangeProperty(x->get(), x->root(), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(resources.data()), static_cast<int>(resources.size()));
  EXPECT_DOUBLE_EQ(scale.mainScreenBackingScaleFactor(), 1.5);
  XDeleteProperty(x->get(), x->root(), XA_RESOURCE_MANAGER);
  EXPECT_DOUBLE_EQ(scale.mainScreenBackingScaleFactor(), 1.0);

  X11ScreenCaptureAccess access(*x);
  EXPECT_TRUE(access.preflight());
  EXPECT_TRUE(access.request());
  // The server closes our connection under us; nothing after this uses it.
  const ::Window mine = XCreateSimpleWindow(x->get(), x->root(), 0, 0, 1, 1, 0, 0, 0);
  XSync(x->get(), False);
  auto killer = X11Display::open();
  ASSERT_TRUE(killer);
  XKillClient(killer->get(), mine);
  XSync(killer->get(), False);
  EXPECT_FALSE(access.preflight());
  EXPECT_TRUE(x->broken());
}

// Xvfb has no DPMS, so the suspension shows as a one-second screen saver that does not start while held.
TEST_F(X11ScreenPortsTest, AssertionsSuspendTheScreenSaverUntilTheLastRelease) {
  Display* d = x->get();
  auto saverStartsWithin = [&](std::chrono::milliseconds limit) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
      XScreenSaverInfo info{};
      XScreenSaverQueryInfo(d, x->root(), &info);
      if (info.state == ScreenSaverOn) return true;
    }
    return false;
  };
  XSetScreenSaver(d, 1, 0, DefaultBlanking, DefaultExposures);
  XForceScreenSaver(d, ScreenSaverReset);
  XSync(d, False);

  auto asserting = X11Display::open();
  ASSERT_TRUE(asserting);
  X11PowerAssertions power(*asserting);
  const auto first = power.create("PreventUserIdleDisplaySleep", 255, "Orvane active remote session");
  const auto second = power.create("PreventUserIdleDisplaySleep", 255, "another");
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  power.release(*first);
  power.release(999);  // unknown: nothing happens
  EXPECT_FALSE(saverStartsWithin(std::chrono::milliseconds(1500))) << "one assertion is still held";
  power.release(*second);
  EXPECT_TRUE(saverStartsWithin(std::chrono::seconds(3)));
  XSetScreenSaver(d, 0, 0, DefaultBlanking, DefaultExposures);
  XForceScreenSaver(d, ScreenSaverReset);
  XSync(d, False);
}

}  // namespace
}  // namespace orvane::x11
