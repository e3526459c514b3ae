// Which window the tablet works in: fitting to the pad's shape, switching to a listed window, the window list,
// and following the window of a launched application until the session ends.
#include <cmath>
#include <limits>

#include "OrvaneMac/session/WindowFitting.h"
#include "tests/OrvaneMac/session/SessionFixture.h"

using namespace orvane;
using namespace orvane::test;
using namespace std::chrono_literals;

namespace {

TEST(WindowFitting, FillsNinetyFivePercentAtThePadsAspect) {
  const Size screen{1440, 900};
  EXPECT_EQ(fitToPad(screen, Size{2732, 2048}), (PadFit{1140, 855, 149, 22}));
  EXPECT_EQ(fitToPad(screen, std::nullopt), (PadFit{1368, 631, 36, 134}));
  // No usable ratio: the default tablet shape.
  EXPECT_EQ(fitToPad(screen, Size{2732, 0}), fitToPad(screen, std::nullopt));
  EXPECT_EQ(fitToPad(screen, Size{-2732, 2048}), fitToPad(screen, std::nullopt));
  // Extreme ratios stay within the screen and never overflow.
  EXPECT_EQ(fitToPad(screen, Size{9.2e18, 1}), (PadFit{1368, 0, 36, 450}));
  EXPECT_EQ(fitToPad(screen, Size{1, 9.2e18}).height, 855);
}

TEST(WindowFitting, TruncationSaturates) {
  EXPECT_EQ(truncateToInt64(-3.9), -3);
  EXPECT_EQ(truncateToInt64(std::nan("")), 0);
  EXPECT_EQ(truncateToInt64(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(truncateToInt64(-INFINITY), std::numeric_limits<std::int64_t>::min());
}

class Windows : public SessionFixture {
 protected:
  Windows() {
    desktop.addApp({77, "Editor", "org.editor"});
    session.addApplication(77, "Editor");
    docWindow = desktop.addWindow(77, "Doc", Rect(100, 100, 1000, 600));
    paletteWindow = desktop.addWindow(77, "Palette", Rect(0, 0, 300, 300));
  }
  Rect frameOf(SimDesktop::ElementId id) { return desktop.globalFrame(id); }

  SimDesktop::ElementId docWindow = 0, paletteWindow = 0;
  const ShareableApplication editor{77, "Editor", "org.editor"};
};

TEST_F(Windows, SwitchFocusesRaisesFitsAndReportsEvenOffScreen) {
  capture.addWindow(500, editor, Rect(0, 0, 300, 300), "Palette");
  capture.addWindow(501, editor, Rect(100, 100, 1000, 600), "Doc").isOnScreen = false;
  connectSession();
  receive(events::PadScreenInfo{2732, 2048});
  receive(events::SwitchToWindow{"501"});

  EXPECT_EQ(coordinator->capturedWindowID(), "501");
  EXPECT_EQ(coordinator->inputInjector().capturedWindowPID(), 77);
  EXPECT_EQ(desktop.idOf(coordinator->inputInjector().capturedAXWindow()), docWindow);
  EXPECT_EQ(session.activations(), (std::vector<SimSession::Activation>{{77, 2}}));
  EXPECT_EQ(desktop.frontmostApplicationPID(), 77);
  EXPECT_EQ(frameOf(docWindow), Rect(149, 22, 1140, 855));
  EXPECT_EQ(sentOf<events::WindowFocused>(), (std::vector<events::WindowFocused>{{"Doc", "Editor"}}));
  EXPECT_TRUE(logged("axWindow(pid=77 title=\"Doc\") kAXWindows=success(0) count=2 trusted=true"));
  EXPECT_EQ(capture.contentQueries.back(), std::make_pair(false, false));
}

TEST_F(Windows, SwitchToAnUnknownWindowOnlyLogs) {
  capture.addWindow(501, editor, Rect(100, 100, 1000, 600), "Doc");
  connectSession();
  const auto before = sent().size();
  receive(events::SwitchToWindow{"0501"});
  EXPECT_TRUE(logged("[MacCoordinator] switchToWindow: window not found for id=0501"));
  EXPECT_EQ(coordinator->capturedWindowID(), std::nullopt);
  EXPECT_EQ(sent().size(), before);

  capture.contentFailure = "not permitted";
  receive(events::SwitchToWindow{"501"});
  EXPECT_TRUE(logged("[MacCoordinator] switchToWindow: window not found for id=501"));
}

TEST_F(Windows, AxWindowPrefersTheTitleThenTheFirstWindow) {
  EXPECT_EQ(desktop.idOf(coordinator->axWindow(77, "Doc")), docWindow);
  EXPECT_EQ(desktop.idOf(coordinator->axWindow(77, "Nothing like it")), paletteWindow);  // front window first
  EXPECT_EQ(desktop.idOf(coordinator->axWindow(77, "")), paletteWindow);

  desktop.failAX(SimDesktop::AXCall::copy, "AXWindows", kAXErrorCannotComplete);
  EXPECT_EQ(coordinator->axWindow(77, "Doc"), nullptr);
  EXPECT_TRUE(logged("axWindow(pid=77 title=\"Doc\") kAXWindows=cannotComplete(-25204) count=-1 trusted=true"));
  desktop.trusted = false;
  EXPECT_EQ(coordinator->axWindow(77, "Doc"), nullptr);
  EXPECT_TRUE(logged("axWindow(pid=77 title=\"Doc\") kAXWindows=apiDisabled(-25211) count=-1 trusted=false"));
}

TEST_F(Windows, AWindowWithoutOwnerIsStillFittedAndReported) {
  ShareableWindow loose;
  loose.windowID = 9;
  loose.frame = Rect(0, 0, 500, 500);
  connectSession();
  coordinator->focus(loose);
  main.runUntilIdle();
  EXPECT_EQ(coordinator->capturedWindowID(), "9");
  EXPECT_EQ(coordinator->inputInjector().capturedWindowPID(), std::nullopt);
  EXPECT_EQ(coordinator->inputInjector().capturedWindowFrame(), Rect(0, 0, 500, 500));
  EXPECT_TRUE(session.activations().empty());
  EXPECT_EQ(sentOf<events::WindowFocused>(), (std::vector<events::WindowFocused>{{"", ""}}));
}

TEST_F(Windows, WindowListIsSentAsTheHelperReturnsIt) {
  capture.addWindow(501, editor, Rect(100, 100, 1000, 600), "Doc");
  capture.addWindow(502, editor, Rect(0, 0, 119, 500), "Narrow");
  connectSession();
  receive(events::RequestWindowList{});
  const std::vector<WindowInfo> expected{{"501", "Editor", "Doc", std::nullopt}};
  ASSERT_EQ(sentOf<events::WindowList>().size(), 1u);
  EXPECT_EQ(sentOf<events::WindowList>()[0].windows, expected);
  EXPECT_TRUE(logged("[MacCoordinator] requestWindowList received → 1 windows"));
}

class LaunchedWindow : public Windows {
 protected:
  LaunchedWindow() {
    desktop.addApp({88, "Notes", "org.notes"});
    session.addApplication(88, "Notes");
    notesWindow = desktop.addWindow(88, "Notes", Rect(50, 50, 600, 400));
  }
  void follow() {
    spawnDetached(main, coordinator->captureLaunchedWindow());
    main.runUntilIdle();
  }
  SimDesktop::ElementId notesWindow = 0;
  const ShareableApplication notes{88, "Notes", "org.notes"};
};

TEST_F(LaunchedWindow, TheLargestQualifyingWindowOfTheFrontApplicationIsFocused) {
  capture.addWindow(600, notes, Rect(0, 0, 200, 900), "Sidebar");   // 200 wide: not taken
  capture.addWindow(601, notes, Rect(50, 50, 600, 400), "Notes");
  capture.addWindow(602, notes, Rect(0, 0, 400, 600), "Twin");      // same area, later: not taken
  capture.addWindow(603, editor, Rect(0, 0, 1400, 880), "Doc");    // another application
  connectSession();
  desktop.activate(88);
  follow();
  main.advance(799ms);
  EXPECT_EQ(coordinator->capturedWindowID(), std::nullopt);
  main.advance(1ms);
  main.runUntilIdle();
  EXPECT_EQ(coordinator->capturedWindowID(), "601");
  EXPECT_TRUE(logged("[MacCoordinator] captureLaunchedWindow → Notes win=601"));
  EXPECT_EQ(frameOf(notesWindow), Rect(36, 134, 1368, 631));
  EXPECT_EQ(capture.contentQueries.back(), std::make_pair(false, true));
}

TEST_F(LaunchedWindow, FourAttemptsThenGivesUp) {
  capture.addWindow(600, notes, Rect(0, 0, 200, 900), "Sidebar");
  capture.addWindow(601, notes, Rect(0, 0, 900, 150), "Toolbar");
  connectSession();
  capture.latest()->deliverFrame(0.0);  // a live stream: no watchdog rebuild reads the content
  desktop.activate(desktop.ownPid);     // the host itself is not what was launched
  main.advance(1s);                     // past the display-filter refresh after connecting
  const auto queries = capture.contentQueries.size();
  follow();
  main.advance(2000ms);
  EXPECT_EQ(capture.contentQueries.size(), queries);  // two attempts skipped without a look
  desktop.activate(88);
  main.advance(3500ms);
  main.runUntilIdle();
  EXPECT_TRUE(logged("[MacCoordinator] captureLaunchedWindow: launched app window not found"));
  EXPECT_EQ(coordinator->capturedWindowID(), std::nullopt);
}

TEST_F(LaunchedWindow, LaunchFollowsTheNewWindowWithThePadsShape) {
  appIndex.addApplication("/usr/share/applications/org.notes.desktop", "Notes");
  capture.addWindow(601, notes, Rect(50, 50, 600, 400), "Notes");
  connectSession();
  receive(events::PadScreenInfo{2732, 2048});
  receive(events::LaunchApp{"Notes"});
  main.advance(100ms);  // the catalog loaded, the entry opened
  ASSERT_EQ(session.openedApplications(), std::vector<std::string>{"/usr/share/applications/org.notes.desktop"});
  desktop.activate(88);
  main.advance(800ms);
  main.runUntilIdle();
  EXPECT_EQ(coordinator->capturedWindowID(), "601");
  EXPECT_EQ(frameOf(notesWindow), Rect(149, 22, 1140, 855));
  EXPECT_EQ(sentOf<events::WindowFocused>(), (std::vector<events::WindowFocused>{{"Notes", "Notes"}}));
}

TEST_F(LaunchedWindow, EndedSessionStopsTheSearch) {
  capture.addWindow(601, notes, Rect(50, 50, 600, 400), "Notes");
  connectSession();
  desktop.activate(88);
  follow();
  coordinator->peerManager()->onDisconnected();
  main.advance(6s);
  EXPECT_EQ(coordinator->capturedWindowID(), std::nullopt);
  EXPECT_FALSE(logged("[MacCoordinator] captureLaunchedWindow: launched app window not found"));
}

}  // namespace
