#include <cmath>
#include <limits>

#include "OrvaneMac/input/InputInjector.h"
#include "tests/OrvaneMac/input/InputFixture.h"

namespace orvane::test {
namespace {

using Id = SimDesktop::ElementId;

constexpr std::int32_t kAppPid = 501;

class WindowOperationsTest : public InputFixture {
 protected:
  void SetUp() override {
    sim.addApp({kAppPid, "Notes", "com.example.notes"});
    window = sim.addWindow(kAppPid, "Doc", Rect(100, 80, 1000, 500));
    sim.focus(window);
  }
  // As the coordinator sets it when it switches to the window.
  void capture(Id id) {
    injector.setCapturedWindowPID(sim.element(id).pid);
    injector.setCapturedAXWindow(sim.axElement(id));
    injector.setCapturedWindowFrame(sim.globalFrame(id));
  }
  std::string lastMessage() const { return log.messages().empty() ? "" : log.messages().back(); }

  Id window = 0;
};

TEST_F(WindowOperationsTest, ScaleKeepsTheAspectWithinScreenLimitsAndCentres) {
  const struct {
    Size size;
    double factor;
    Rect expected;
  } cases[] = {
      {{1000, 500}, 1.2, Rect(120, 150, 1200, 600)},
      {{1400, 300}, 1.2, Rect(36, (900 - 1368 / (1400.0 / 300)) / 2, 1368, 1368 / (1400.0 / 300))},
      {{500, 500}, InputInjector::kShrinkFactor, Rect(504, 234, 432, 432)},  // minimum width wins
      {{600, 100}, 0.5, Rect(-90, 315, 1620, 270)},  // the minimum height wins last, even past the maximum width
  };
  for (const auto& c : cases) {
    sim.element(window).frame.size = c.size;
    capture(window);
    injector.scale(c.factor);
    const Rect got = sim.globalFrame(window);
    for (auto [value, expected] : {std::pair{got.origin.x, c.expected.origin.x}, {got.origin.y, c.expected.origin.y},
                                   {got.size.width, c.expected.size.width}, {got.size.height, c.expected.size.height}}) {
      EXPECT_NEAR(value, expected, 1e-9) << c.size.width;
    }
    EXPECT_EQ(injector.capturedWindowFrame(), got);
  }
  EXPECT_TRUE(log.hasMessage(
      "scale factor=1.200000 cur=(1000×500) → req=(1200×600) setSize=0 (0=success) readback=(1200×600) | "
      "role=AXWindow subrole=AXStandardWindow title=\"Doc\" sizeSettable=true"));
}

TEST_F(WindowOperationsTest, ScaleRefusesWhatItCannotMeasure) {
  injector.scale(1.2);
  EXPECT_EQ(lastMessage(), "scale: NO captured window (pid=nil axWin=false)");
  capture(window);
  sim.element(window).frame.size = {0, 500};
  injector.scale(1.2);
  EXPECT_EQ(lastMessage(), "scale: cannot read AX size of captured window");
  EXPECT_EQ(sim.globalFrame(window), Rect(100, 80, 0, 500));
  sim.element(window).frame.size = {1e300, 1e-10};  // no aspect ratio to keep
  injector.scale(1.2);
  EXPECT_EQ(lastMessage(), "scale: cannot read AX size of captured window");
  EXPECT_EQ(sim.globalFrame(window), Rect(100, 80, 1e300, 1e-10));
}

TEST_F(WindowOperationsTest, TwoTitleBarZoomsMaximiseThenRestore) {
  capture(window);
  injector.titleBarZoom();
  EXPECT_EQ(sim.globalFrame(window), Rect(0, 25, 1440, 875)) << "the visible frame, below the menu bar";
  EXPECT_EQ(lastMessage(), "titleBarZoom: AX maximize (saved 1000x500)");
  injector.titleBarZoom();
  EXPECT_EQ(sim.globalFrame(window), Rect(100, 80, 1000, 500));
  EXPECT_EQ(lastMessage(), "titleBarZoom: AX restore → 1000x500");
  EXPECT_FALSE(injector.preZoomFrame());
  EXPECT_TRUE(posted().empty());
}

TEST_F(WindowOperationsTest, MinimizeZoomAndCloseAskTheWindowManagerAndSayWhatTheyDid) {
  using Flag = bool SimDesktop::Element::*;
  const struct {
    void (InputInjector::*operation)();
    Flag effect;
    std::string done;
    SimDesktop::AXCall refusedCall;
    std::string refusedName;
    std::string refused;
    std::string withoutFrame;
  } cases[] = {
      {&InputInjector::minimize, &SimDesktop::Element::minimized, "minimize: iconify window at (100,80)",
       SimDesktop::AXCall::set, "AXMinimized", "minimize: iconify window at (100,80) FAIL cannotComplete(-25204)",
       "minimize: no window frame"},
      {&InputInjector::zoom, &SimDesktop::Element::zoomed, "zoom: maximize or restore window at (100,80)",
       SimDesktop::AXCall::copy, "AXZoomButton",
       "zoom: maximize or restore window at (100,80) FAIL cannotComplete(-25204)", "zoom: no window frame"},
      {&InputInjector::close, &SimDesktop::Element::closed, "close: close window at (100,80)",
       SimDesktop::AXCall::perform, "AXPress", "close: close window at (100,80) FAIL cannotComplete(-25204)",
       "close: no window frame"},
  };
  for (const auto& c : cases) {
    const Id target = sim.addWindow(kAppPid, "Target", Rect(100.7, 80.2, 600, 400));
    capture(target);
    sim.failAX(c.refusedCall, c.refusedName, kAXErrorCannotComplete);
    (injector.*c.operation)();
    EXPECT_EQ(lastMessage(), c.refused);
    EXPECT_EQ(log.records().back().level, LogLevel::Error);
    EXPECT_FALSE(sim.element(target).*c.effect);
    sim.clearAXFailures();

    (injector.*c.operation)();
    EXPECT_EQ(lastMessage(), c.done);
    EXPECT_TRUE(sim.element(target).*c.effect);

    injector.setCapturedAXWindow(nullptr);
    injector.setCapturedWindowPID(std::nullopt);
    (injector.*c.operation)();
    EXPECT_EQ(lastMessage(), c.done + " FAIL no captured window");

    injector.setCapturedWindowFrame(std::nullopt);
    (injector.*c.operation)();
    EXPECT_EQ(lastMessage(), c.withoutFrame);
    EXPECT_EQ(log.records().back().level, LogLevel::Error);
  }
  EXPECT_TRUE(posted().empty()) << "nothing is clicked";

  capture(window);
  injector.zoom();
  injector.zoom();
  EXPECT_FALSE(sim.element(window).zoomed) << "a second zoom restores";
  injector.close();
  const auto left = sim.copyAttributeValue(sim.applicationElement(kAppPid), kAXWindowsAttribute);
  EXPECT_EQ(std::get<std::vector<AXElement>>(left.value).size(), 2u) << "the closed windows are gone";
  injector.minimize();
  EXPECT_EQ(lastMessage(), "minimize: iconify window at (100,80) FAIL invalidUIElement(-25202)");
}

TEST_F(WindowOperationsTest, TitleBarZoomWithoutAccessibilityDoubleClicksTheTitleBar) {
  sim.trusted = false;
  injector.setCapturedWindowFrame(Rect(100, 80, 1000, 500));
  injector.titleBarZoom();
  EXPECT_EQ(takePosted(), (Lines{"leftDown 600,92 b0 c1 M", "leftUp 600,92 b0 c1 M", "leftDown 600,92 b0 c2 M",
                                 "leftUp 600,92 b0 c2 M"}));
  EXPECT_EQ(lastMessage(), "titleBarZoom: fallback double-click at (600,92)");
  injector.setCapturedWindowFrame(std::nullopt);
  injector.titleBarZoom();
  EXPECT_TRUE(takePosted().empty());
  EXPECT_EQ(lastMessage(), "titleBarZoom: no window frame");
}

TEST_F(WindowOperationsTest, ResizeAndMoveFindTheWindowThroughTheProcessAndLogTheirCodes) {
  injector.resize(800, 600);
  EXPECT_EQ(lastMessage(), "resize: NO captured window (pid=nil axWin=false) trusted=true");

  injector.setCapturedWindowPID(kAppPid);  // no element yet: the focused window is asked for
  injector.resize(800, 600);
  EXPECT_TRUE(log.hasMessage("resize → (800×600) setSize=0 (0=success, -25204=AX not effective) trusted=true"));
  EXPECT_EQ(injector.capturedWindowFrame(), Rect(100, 80, 800, 600));

  sim.failAX(SimDesktop::AXCall::set, "AXPosition", kAXErrorCannotComplete);
  injector.move(10, 20);
  EXPECT_TRUE(log.hasMessage("move → (10,20) setPos=-25204 (0=success)"));

  sim.failAX(SimDesktop::AXCall::copy, "AXFocusedWindow", kAXErrorNoValue);
  const Id other = sim.addWindow(kAppPid, "Other", Rect(0, 0, 300, 200));
  log.clear();
  injector.resize(640, 480);
  EXPECT_EQ(log.messages().front(),
            "focusedCapturedWindow(pid=501) FAIL focusedWindow=noValue(-25212) windows=success(0) count=2 "
            "trusted=true");
  EXPECT_EQ(sim.globalFrame(other).size, (Size{640, 480})) << "the first listed window is the front one";

  sim.trusted = false;
  log.clear();
  injector.resize(640, 480);
  EXPECT_EQ(log.messages(),
            (Lines{"focusedCapturedWindow(pid=501) FAIL focusedWindow=apiDisabled(-25211) "
                   "windows=apiDisabled(-25211) count=-1 trusted=false",
                   "resize: NO captured window (pid=501 axWin=false) trusted=false"}));
  EXPECT_EQ(InputInjector::axErrorName(-25203), "unknown(-25203)");
}

TEST_F(WindowOperationsTest, RetargetTakesTheWindowUnderThePointUnlessItIsTheHostsOwn) {
  sim.addApp({sim.ownPid, "Orvane", "com.kelbrin.Orvane.Mac"});
  sim.addWindow(sim.ownPid, "", Rect(1200, 0, 240, 300));  // the host's popover
  const Id field = sim.addElement(window, "AXTextField", Rect(10, 40, 200, 24));
  sim.element(field).hasWindowAttribute = false;  // found by walking up the parents

  injector.retarget(1300, 100);
  EXPECT_FALSE(injector.capturedAXWindow());
  EXPECT_TRUE(log.lines().empty());

  injector.retarget(150, 130);
  EXPECT_EQ(sim.idOf(injector.capturedAXWindow()), window);
  EXPECT_EQ(injector.capturedWindowPID(), kAppPid);
  EXPECT_FALSE(injector.capturedWindowFrame()) << "the frame is left to the coordinator";
  EXPECT_EQ(log.lines().back(),
            "[InputInjector] retarget → pid=501 role=AXWindow subrole=AXStandardWindow title=\"Doc\" sizeSettable=true");

  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float x, y;
    std::string line;
  } empty[] = {
      {1500.9f, -3.7f, "[InputInjector] retarget: 该点无 AX 元素 (1500,-3)"},
      {std::nanf(""), 10, "[InputInjector] retarget: 该点无 AX 元素 (nan,10)"},
      {-inf, 3e19f, "[InputInjector] retarget: 该点无 AX 元素 (-inf,3e+19)"},
  };
  for (const auto& c : empty) {
    injector.retarget(c.x, c.y);
    EXPECT_EQ(log.lines().back(), c.line);
  }
  sim.failAX(SimDesktop::AXCall::copy, "AXParent", kAXErrorInvalidUIElement);
  injector.retarget(150, 130);
  EXPECT_EQ(log.lines().back(), "[InputInjector] retarget: 该点元素无所属 AXWindow");
  EXPECT_EQ(sim.idOf(injector.capturedAXWindow()), window);

  sim.element(window).sizeSettable = false;
  sim.element(window).subrole.clear();
  EXPECT_EQ(injector.describeWindow(sim.axElement(window)), "role=AXWindow subrole=? title=\"Doc\" sizeSettable=false");
}

}  // namespace
}  // namespace orvane::test
