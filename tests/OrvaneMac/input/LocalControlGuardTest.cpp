#include "OrvaneMac/input/LocalControlGuard.h"

#include "tests/OrvaneMac/input/InputFixture.h"

namespace orvane::test {
namespace {

using namespace std::chrono_literals;
using Reports = std::vector<bool>;

class LocalControlGuardTest : public InputFixture {
 protected:
  LocalControlGuardTest() {
    guard->onLocalControlChanged = [this](bool active) {
      reports.push_back(active);
      reportedAt.push_back(queue.now());
    };
  }

  Reports reports;
  std::vector<double> reportedAt;
};

TEST_F(LocalControlGuardTest, OnlyUnmarkedPressesScrollsAndModifierChangesCount) {
  guard->start();
  EXPECT_EQ(log.lines(), Lines{"[LocalControlGuard] listen-only input tap installed"});
  injector.inject(events::MouseDown{MouseButton::left, 0.5, 0.5});
  injector.inject(events::KeyEvent{0, {ModifierKey::shift}, true});
  injector.inject(events::Scrolled{0, 1});
  local(kCGEventKeyDown, LocalControlGuard::kInjectionMarker);
  for (CGEventType ignored : {kCGEventMouseMoved, kCGEventKeyUp, kCGEventOtherMouseUp, kCGEventOtherMouseDragged}) {
    local(ignored);
  }
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(guard->policy().allowsInjection(queue.now()));

  for (CGEventType counted : {kCGEventFlagsChanged, kCGEventOtherMouseDown, kCGEventScrollWheel}) {
    local(counted);
    EXPECT_EQ(reports, Reports{true}) << counted;
    queue.advance(2.05s);
    reports.clear();
  }
  CGEvent fromAnotherProgram;  // posted, but without the marker
  fromAnotherProgram.type = kCGEventRightMouseDown;
  sim.post(fromAnotherProgram);
  queue.runUntilIdle();
  EXPECT_EQ(reports, Reports{true});
}

TEST_F(LocalControlGuardTest, LocalInputReleasesTabletInputOnceAndResumesAfterTheQuietInterval) {
  guard->start();
  injector.inject(events::MouseDown{MouseButton::left, 0.5, 0.5});
  sim.cursor = {10, 20};
  sim.clearPosted();
  const double first = queue.now();
  local(kCGEventKeyDown);
  EXPECT_EQ(posted(), Lines{"leftUp 10,20 b0 M"});
  EXPECT_EQ(reports, Reports{true});
  EXPECT_TRUE(guard->heldMouseButtons().empty());
  EXPECT_EQ(log.lines().back(), "[LocalControlGuard] released held injected input (local preempt)");

  queue.advance(1s);
  local(kCGEventLeftMouseDown);
  EXPECT_EQ(posted().size(), 1u) << "nothing left to release";
  queue.advance(2.04s);
  EXPECT_EQ(reports, Reports{true});
  queue.advance(0.02s);
  EXPECT_EQ(reports, (Reports{true, false}));
  EXPECT_NEAR(reportedAt.back() - first, 3.05, 1e-9) << "2.05 s after the last local input";
  queue.advance(10s);
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(LocalControlGuardTest, EmergencyStopWorksWithoutTapAndResumeWaitsForTheGraceWindow) {
  sim.tapRefused = true;
  guard->start();
  EXPECT_EQ(log.lines(), Lines{"[LocalControlGuard] WARNING: event tap not created — real-time local yield disabled "
                               "(grant Input Monitoring/Accessibility). Emergency stop still works."});
  guard->policy().setInjectionDisabled(true);
  guard->evaluate();
  guard->policy().setInjectionDisabled(false);
  guard->evaluate();
  EXPECT_EQ(reports, (Reports{true, false}));

  sim.tapRefused = false;
  reports.clear();
  guard->start();
  local(kCGEventKeyDown);
  guard->policy().setInjectionDisabled(true);
  guard->evaluate();
  queue.advance(1s);
  guard->policy().setInjectionDisabled(false);
  guard->evaluate();
  EXPECT_EQ(reports, Reports{true}) << "still within the grace window";
  queue.advance(1.1s);
  EXPECT_EQ(reports, (Reports{true, false}));
}

TEST_F(LocalControlGuardTest, StopForgetsSilentlyAndStartBeginsInactive) {
  guard->start();
  injector.inject(events::KeyEvent{4, {}, true});
  local(kCGEventKeyDown);
  guard->heldKeyVKeys().insert(9);
  guard->policy().setInjectionDisabled(true);
  guard->stop();
  EXPECT_TRUE(guard->heldKeyVKeys().empty());
  EXPECT_TRUE(guard->policy().allowsInjection(queue.now()));
  EXPECT_EQ(queue.pendingTimers(), 1u) << "only the injector's watchdog is left";
  local(kCGEventKeyDown);
  queue.advance(5s);
  EXPECT_EQ(reports, Reports{true}) << "no tap, no report";

  guard->start();
  guard->evaluate();
  local(kCGEventFlagsChanged);
  EXPECT_EQ(reports, (Reports{true, true}));
}

// Steps that post later on their own (typed keys, a window operation's
// clicks) yield too; releases still go out.
TEST_F(LocalControlGuardTest, EveryLaterPostYieldsToThePersonExceptReleases) {
  guard->start();
  injector.inject(events::KeyEvent{4, {}, true});
  local(kCGEventKeyDown);
  sim.clearPosted();

  injector.typeText("a");
  injector.click(0, 1, {100, 100});
  injector.post(sim.createKeyboardEvent(36, true));
  EXPECT_EQ(takePosted(), (Lines{"keyUp 0 M", "leftUp 100,100 b0 c1 M"})) << "only releases while the person has control";

  injector.releaseAllHeld();
  EXPECT_EQ(takePosted(), Lines{"keyUp 4 M"});

  queue.advance(2.1s);
  injector.typeText("a");
  EXPECT_EQ(takePosted().size(), 2u) << "after the quiet interval injection resumes";
  guard->policy().setInjectionDisabled(true);
  injector.post(sim.createKeyboardEvent(36, true));
  EXPECT_EQ(posted(), Lines{}) << "the emergency stop holds them back too";
}

TEST_F(LocalControlGuardTest, TapSwitchedOffBySystemIsSwitchedBackOn) {
  guard->start();
  for (CGEventType reason : {kCGEventTapDisabledByTimeout, kCGEventTapDisabledByUserInput}) {
    sim.disableTaps(reason);
    queue.runUntilIdle();
    EXPECT_TRUE(sim.tapEnabled());
  }
  EXPECT_TRUE(reports.empty()) << "the notification is not input";
}

}  // namespace
}  // namespace orvane::test
