#include <X11/Xutil.h>
#include <unistd.h>

#include <string>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "OrvaneMac/session/WindowFitting.h"
#include "tests/OrvaneMac/platform/x11/windows/X11WindowsFixture.h"

namespace orvane::test {
namespace {

class OwnProcess final : public ProcessInfo {
 public:
  std::int32_t processIdentifier() const override { return getpid(); }
};

// The injector's window operations on the X11 ports, as the coordinator
// drives them once it has switched to a window.
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

  // What the coordinator's focus on a window sets.
  void capture(const TestClient& client) {
    injector->setCapturedWindowPID(client.pid());
    injector->setCapturedAXWindow(ax->windowElement(client.window()));
    injector->setCapturedWindowFrame(shareable(client.window())->frame);
  }
  std::string lastMessage() const { return log.messages().empty() ? "" : log.messages().back(); }

  OwnProcess process;
  CapturingLogSink log;
  std::unique_ptr<x11::X11EventPoster> poster;
  std::unique_ptr<x11::X11Screens> screens;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(X11WindowOperationsTest, AWindowFittedToThePadLandsExactlyWhereComputed) {
  TestClient a(client("Fitted", 150, 120));
  capture(a);
  for (const std::optional<Size> pad : {std::optional<Size>(), std::optional(Size{2732, 2048})}) {
    const PadFit fit = fitToPad(Size{1920, 1080}, pad);
    injector->inject(events::ResizeWindow{fit.width, fit.height});
    injector->inject(events::MoveWindow{fit.x, fit.y});
    const Rect expected(static_cast<double>(fit.x), static_cast<double>(fit.y), static_cast<double>(fit.width),
                        static_cast<double>(fit.height));
    EXPECT_EQ(shareable(a.window())->frame, expected);
    EXPECT_EQ(injector->capturedWindowFrame(), expected);
    EXPECT_EQ(outerFrame(a.window()), expected);
  }
  injector->resize(900, 600);
  injector->move(40, 30);
  EXPECT_EQ(shareable(a.window())->frame, Rect(40, 30, 900, 600));
  EXPECT_TRUE(log.hasMessage("move → (40,30) setPos=0 (0=success)"));
}

TEST_F(X11WindowOperationsTest, MinimizeZoomAndCloseTheCapturedWindow) {
  TestClient a(client("Captured", 150, 120));
  capture(a);
  const Rect frame = *injector->capturedWindowFrame();
  const std::string corner = "(" + std::to_string(static_cast<long>(frame.minX())) + "," +
                             std::to_string(static_cast<long>(frame.minY())) + ")";

  injector->zoom();
  EXPECT_EQ(lastMessage(), "zoom: maximize or restore window at " + corner);
  EXPECT_TRUE(waitUntil([&] {
    return hasStates(a.window(), {"_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ"});
  }));
  injector->zoom();
  EXPECT_TRUE(waitUntil([&] {
    return !hasStates(a.window(), {"_NET_WM_STATE_MAXIMIZED_VERT"}) &&
           !hasStates(a.window(), {"_NET_WM_STATE_MAXIMIZED_HORZ"});
  }));
  EXPECT_TRUE(waitUntil([&] { return outerFrame(a.window()) == frame; })) << "restored to where it was";

  injector->minimize();
  EXPECT_EQ(lastMessage(), "minimize: iconify window at " + corner);
  EXPECT_TRUE(waitUntil([&] {
    const auto state = x->cardinals(a.window(), "WM_STATE", x->atom("WM_STATE"));
    return state && !state->empty() && (*state)[0] == IconicState && !viewable(a.window());
  }));
  const AXElement window = ax->windowElement(a.window());
  EXPECT_EQ(std::get<bool>(ax->copyAttributeValue(window, kAXMinimizedAttribute).value), true);
  EXPECT_FALSE(shareable(a.window())->isOnScreen);
  EXPECT_EQ(ax->setAttributeValue(window, kAXMinimizedAttribute, false), kAXErrorSuccess);
  EXPECT_TRUE(waitUntil([&] { return viewable(a.window()); }));

  injector->close();
  EXPECT_EQ(lastMessage(), "close: close window at " + corner);
  EXPECT_TRUE(waitUntil([&] { return !a.running(); }));
  EXPECT_TRUE(waitUntil([&] { return !shareable(a.window()); }));
  injector->minimize();
  EXPECT_EQ(lastMessage(), "minimize: iconify window at " + corner + " FAIL invalidUIElement(-25202)");
}

}  // namespace
}  // namespace orvane::test
