// Control events from the tablet: which route each takes with the gate open or a person in control, and what
// the routes do (pad size, quality, search, launch with its catalog wait, title-bar zoom, the emergency stop).
#include <limits>
#include <map>

#include "OrvaneMac/session/DispatchRoute.h"
#include "tests/OrvaneMac/session/SessionFixture.h"

using namespace orvane;
using namespace orvane::test;
using namespace std::chrono_literals;

namespace {

// One event of each kind, in declaration order, with harmless payloads.
const std::vector<ControlEvent>& samples() {
  using namespace events;
  constexpr auto left = MouseButton::left;
  static const std::vector<ControlEvent> all = {
      MouseMoved{0.5, 0.5}, MouseDown{left, 0.5, 0.5}, MouseUp{left, 0.5, 0.5}, MouseDragged{left, 0.5, 0.5},
      MouseClicked{left, 0.5, 0.5}, DoubleClick{left, 0.5, 0.5}, MiddleClick{0.5, 0.5}, Scrolled{1, 2},
      KeyEvent{0, {}, true}, TypeText{"a"}, VolumeUp{}, VolumeDown{}, Mute{}, BrightnessUp{}, BrightnessDown{},
      AppSwitchGesture{}, ResizeWindow{800, 600}, MoveWindow{10, 10}, MinimizeWindow{}, ZoomWindow{}, CloseWindow{},
      TitleBarZoom{}, ToggleFullScreen{}, EnlargeWindow{}, ShrinkWindow{}, RequestWindowList{}, SwitchToWindow{"1"},
      SetVideoQuality{VideoQuality::low}, PadScreenInfo{2732, 2048}, LaunchApp{"Mail"}, SearchApps{"ma"},
      TextFieldFocused{true}, WindowList{}, AppSuggestions{}, ScreenInfo{}, WindowFocused{}, LocalControlActive{true},
      CaptureStalled{true}, PeerVersion{1, "1.0"}};
  return all;
}

TEST(DispatchRouteTable, GateOpenAndLocalControlColumns) {
  using R = DispatchRoute;
  // Everything not listed is injected with the gate open and dropped without it.
  const std::map<EventType, std::pair<R, R>> special = {
      {EventType::mouseUp, {R::inject, R::inject}},
      {EventType::keyEvent, {R::inject, R::drop}},  // the sample is a key-down
      {EventType::titleBarZoom, {R::titleBarZoom, R::drop}},
      {EventType::launchApp, {R::launch, R::drop}},
      {EventType::switchToWindow, {R::switchWindow, R::drop}},
      {EventType::searchApps, {R::search, R::search}},
      {EventType::setVideoQuality, {R::setQuality, R::setQuality}},
      {EventType::padScreenInfo, {R::padScreen, R::padScreen}},
      {EventType::requestWindowList, {R::windowList, R::windowList}},
      {EventType::peerVersion, {R::peerVersion, R::peerVersion}},
  };
  ASSERT_EQ(samples().size(), kEventTypeCount);
  for (std::size_t i = 0; i < kEventTypeCount; ++i) {
    const ControlEvent& event = samples()[i];
    SCOPED_TRACE(std::string(toString(event.type())));
    ASSERT_EQ(event.type(), allEventTypes()[i]);
    auto it = special.find(event.type());
    const auto expected = it == special.end() ? std::pair(R::inject, R::drop) : it->second;
    EXPECT_EQ(routeFor(event, true), expected.first);
    EXPECT_EQ(routeFor(event, false), expected.second);
  }
  const ControlEvent keyUp = events::KeyEvent{0, {}, false};
  EXPECT_EQ(routeFor(keyUp, false), R::inject);
  const ControlEvent blankLaunch = events::LaunchApp{" \n\t\u00a0\u3000"};
  EXPECT_EQ(routeFor(blankLaunch, true), R::drop);
}

TEST(DispatchRouteTable, TrimsUnicodeWhiteSpaceAndLineBreaks) {
  EXPECT_EQ(trimWhitespaceAndNewlines("  Safari\n"), "Safari");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u2003Photo Booth\u2029\r\n"), "Photo Booth");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u00a0\u00a0"), "");
  EXPECT_EQ(trimWhitespaceAndNewlines("日本語"), "日本語");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u200bX\u200b"), "\u200bX\u200b");  // zero width is not white space
  EXPECT_EQ(trimWhitespaceAndNewlines(""), "");
}

class Dispatch : public SessionFixture {
 protected:
  Dispatch() {
    desktop.addApp({77, "Editor", "org.editor"});
    editorWindow = desktop.addWindow(77, "Doc", Rect(100, 100, 1000, 600));
  }
  SimDesktop::ElementId editorWindow = 0;
};

TEST_F(Dispatch, NothingHappensBeforeTheSessionIsConnected) {
  start();
  requestConnection();
  channel().open();
  main.runUntilIdle();
  for (const ControlEvent& event : samples()) receive(event);
  main.advance(5s);
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_TRUE(sentOf<events::AppSuggestions>().empty());
  EXPECT_TRUE(sentOf<events::WindowList>().empty());
  EXPECT_EQ(coordinator->padScreenSize(), std::nullopt);
}

// The route table decides; this shows it is the one the coordinator applies.
TEST_F(Dispatch, LocalControlLetsOnlyReleasesAndQuestionsThrough) {
  connectSession();
  localKeyDown();
  EXPECT_EQ(sentOf<events::LocalControlActive>(), std::vector<events::LocalControlActive>{{true}});
  desktop.clearPosted();
  receive(events::MouseDown{MouseButton::left, 0.5, 0.5});
  receive(events::LaunchApp{"Mail"});
  EXPECT_TRUE(takePosted().empty());
  receive(events::MouseUp{MouseButton::left, 0.5, 0.5});
  EXPECT_EQ(takePosted().size(), 1u);
  receive(events::RequestWindowList{});
  EXPECT_EQ(sentOf<events::WindowList>().size(), 1u);

  // The grace window passes: the tablet has the desktop again.
  main.advance(3s);
  EXPECT_EQ(sentOf<events::LocalControlActive>().back(), events::LocalControlActive{false});
  receive(events::MouseMoved{0, 0});
  EXPECT_EQ(takePosted(), std::vector<std::string>{"moved 0,0 b0 M"});
}

TEST_F(Dispatch, MouseDownRetargetsTheWindowUnderThePointAfterAMoment) {
  connectSession();
  receive(events::MouseDown{MouseButton::left, 0.5, 0.5});
  main.advance(149ms);
  EXPECT_EQ(coordinator->inputInjector().capturedWindowPID(), std::nullopt);
  main.advance(1ms);
  EXPECT_EQ(coordinator->inputInjector().capturedWindowPID(), 77);
  EXPECT_EQ(desktop.idOf(coordinator->inputInjector().capturedAXWindow()), editorWindow);
  EXPECT_EQ(coordinator->inputInjector().capturedWindowFrame(), std::nullopt);
}

TEST_F(Dispatch, PadScreenSizeIsKeptAndBoundsTheCaptureSize) {
  connectSession();
  receive(events::PadScreenInfo{700, 600});
  EXPECT_EQ(coordinator->captureManager().maxLongEdge(), 1400);
  receive(events::PadScreenInfo{2732, 2048});
  EXPECT_EQ(coordinator->padScreenSize(), (Size{2732, 2048}));
  EXPECT_EQ(coordinator->captureManager().maxLongEdge(), 1920);

  // Sizes whose double overflows are clamped, not undefined.
  receive(events::PadScreenInfo{std::numeric_limits<std::int64_t>::max(), 1});
  EXPECT_EQ(coordinator->captureManager().maxLongEdge(), 1920);
  receive(events::PadScreenInfo{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min()});
  EXPECT_EQ(coordinator->captureManager().maxLongEdge(), 1280);
  EXPECT_EQ(state(), ConnectionState::connected());
}

TEST_F(Dispatch, VideoQualityReachesTheRunningStream) {
  connectSession();
  receive(events::SetVideoQuality{VideoQuality::low});
  EXPECT_EQ(capture.latest()->configuration.width, 320);
  EXPECT_EQ(capture.latest()->configuration.height, 200);
  receive(events::SetVideoQuality{VideoQuality::high});
  EXPECT_EQ(capture.latest()->configuration.width, 1920);
  EXPECT_EQ(capture.latest()->configuration.height, 1200);
}

TEST_F(Dispatch, SearchAnswersFromTheCatalogOnceLoaded) {
  appIndex.holdQueries = true;
  appIndex.addApplication("/usr/share/applications/mail.desktop", "Mail");
  appIndex.addApplication("/usr/share/applications/maps.desktop", "Maps");
  appIndex.addApplication("/usr/share/applications/automator.desktop", "Automator");
  connectSession();
  receive(events::SearchApps{" Ma\n"});
  const std::vector<events::AppSuggestions> empty{{" Ma\n", {}}};
  EXPECT_EQ(sentOf<events::AppSuggestions>(), empty);
  appIndex.finishGathering();
  main.runUntilIdle();
  receive(events::SearchApps{" Ma\n"});
  const events::AppSuggestions expected{" Ma\n", {"Mail", "Maps", "Automator"}};
  EXPECT_EQ(sentOf<events::AppSuggestions>().back(), expected);
  EXPECT_EQ(appIndex.queriesStarted(), 1);
}

TEST_F(Dispatch, LaunchOpensTheCatalogEntryOfThatNameOnceTheCatalogIsLoaded) {
  appIndex.addApplication("/usr/share/applications/notebook.desktop", "Notebook");
  appIndex.addApplication("/usr/share/applications/org.notes.desktop", "Notes");
  connectSession();
  receive(events::LaunchApp{"  nOTES \n"});
  EXPECT_TRUE(session.openedApplications().empty());  // the catalog loads first
  main.advance(100ms);
  EXPECT_EQ(session.openedApplications(), std::vector<std::string>{"/usr/share/applications/org.notes.desktop"});
  EXPECT_TRUE(logged("[MacCoordinator] launchApp → /usr/share/applications/org.notes.desktop"));
  EXPECT_TRUE(takePosted().empty());  // no keys typed anywhere

  // Loaded now: the next launch goes at once.
  receive(events::LaunchApp{"Notebook"});
  EXPECT_EQ(session.openedApplications().back(), "/usr/share/applications/notebook.desktop");
}

TEST_F(Dispatch, LaunchWithoutAMatchOrAFailingOpenOnlyLogs) {
  appIndex.addApplication("/usr/share/applications/org.notes.desktop", "Notes");
  connectSession();
  receive(events::LaunchApp{"Note"});
  main.advance(6s);
  EXPECT_TRUE(logged("[MacCoordinator] launchApp: no application named Note"));
  EXPECT_TRUE(session.openedApplications().empty());

  session.openApplicationSucceeds = false;
  receive(events::LaunchApp{"Notes"});
  main.advance(6s);
  EXPECT_TRUE(logged("[MacCoordinator] launchApp: could not open /usr/share/applications/org.notes.desktop"));
  EXPECT_FALSE(logged("[MacCoordinator] captureLaunchedWindow: launched app window not found"));
}

TEST_F(Dispatch, LaunchWaitsTwoSecondsAtMostForTheCatalog) {
  appIndex.holdQueries = true;
  appIndex.addApplication("/usr/share/applications/org.notes.desktop", "Notes");
  connectSession();
  receive(events::LaunchApp{"Notes"});
  main.advance(1900ms);
  EXPECT_FALSE(logged("[MacCoordinator] launchApp: application catalog not loaded; Notes not launched"));
  main.advance(200ms);
  EXPECT_TRUE(logged("[MacCoordinator] launchApp: application catalog not loaded; Notes not launched"));
  appIndex.finishGathering();
  main.advance(1s);
  EXPECT_TRUE(session.openedApplications().empty());
}

TEST_F(Dispatch, LaunchStopsWhenTheSessionEnds) {
  appIndex.holdQueries = true;
  appIndex.addApplication("/usr/share/applications/org.notes.desktop", "Notes");
  connectSession();
  receive(events::LaunchApp{" \u00a0"});
  EXPECT_EQ(appIndex.queriesStarted(), 0);  // a blank name starts nothing

  receive(events::LaunchApp{"Notes"});
  coordinator->peerManager()->onDisconnected();
  appIndex.finishGathering();
  main.advance(6s);
  EXPECT_TRUE(session.openedApplications().empty());
  EXPECT_FALSE(logged("[MacCoordinator] captureLaunchedWindow: launched app window not found"));
}

TEST_F(Dispatch, TitleBarZoomRefreshesTheFrameFromCaptureAfterHalfASecond) {
  capture.addWindow(501, {77, "Editor", "org.editor"}, Rect(100, 100, 1000, 600), "Doc");
  connectSession();
  receive(events::SwitchToWindow{"501"});
  const Rect fitted = coordinator->inputInjector().capturedWindowFrame().value();
  capture.content.windows[0].frame = Rect(0, 25, 1440, 875);
  receive(events::TitleBarZoom{});
  main.advance(499ms);
  EXPECT_EQ(coordinator->inputInjector().capturedWindowFrame(), fitted);
  main.advance(1ms);
  main.runUntilIdle();
  EXPECT_EQ(coordinator->inputInjector().capturedWindowFrame(), Rect(0, 25, 1440, 875));
  EXPECT_TRUE(logged("[MacCoordinator] capturedWindowFrame ← SC (0,25) 1440x875"));
}

TEST_F(Dispatch, EmergencyStopHoldsUntilResumedAndTeardownClearsIt) {
  connectSession();
  std::vector<bool> published;
  coordinator->onInjectionDisabledChanged = [&](bool disabled) { published.push_back(disabled); };
  coordinator->stopInjection();
  EXPECT_TRUE(coordinator->injectionDisabled());
  EXPECT_TRUE(logged("[MacCoordinator] injection STOPPED (local control reclaimed)"));
  EXPECT_EQ(sentOf<events::LocalControlActive>(), std::vector<events::LocalControlActive>{{true}});
  desktop.clearPosted();
  receive(events::MouseMoved{0.5, 0.5});
  main.advance(10s);
  receive(events::MouseMoved{0.5, 0.5});
  EXPECT_TRUE(takePosted().empty());
  EXPECT_TRUE(coordinator->injectionDisabled());

  coordinator->resumeInjection();
  EXPECT_TRUE(logged("[MacCoordinator] injection RESUMED"));
  receive(events::MouseMoved{0.5, 0.5});
  EXPECT_EQ(takePosted().size(), 1u);

  coordinator->stopInjection();
  coordinator->peerManager()->onDisconnected();
  EXPECT_FALSE(coordinator->injectionDisabled());
  EXPECT_EQ(published, (std::vector<bool>{true, false, true, false}));
}

}  // namespace
