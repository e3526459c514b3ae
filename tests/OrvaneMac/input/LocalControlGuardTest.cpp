#include "OrvaneMac/input/LocalControlGuard.h"

#include "tests/OrvaneMac/input/InputFixture.h"

namespace orvane::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class LocalControlGuardTest : public InputFixture {
 protected:
  void SetUp() override {
    injector.attachGuard(guard);
    guard->onLocalControlChanged = [this](bool active) {
      reports.push_back(active);
      reportedAt.push_back(queue.now());
    };
  }
  void local(CGEventType type, std::int64_t userData = 0) {
    CGEvent event;
    event.type = type;
    event.userData = userData;
    sim.localInput(event);
    queue.runUntilIdle();
  }

  std::vector<bool> reports;
  std::vector<double> reportedAt;
};

TEST_F(LocalControlGuardTest, ButtonsScrollKeysAndModifiersCountButMovementAndKeyUpsDoNot) {
  guard->start();
  EXPECT_EQ(log.lines(), Lines{"[LocalControlGuard] listen-only input tap installed"});
  const struct {
    CGEventType type;
    bool counts;
  } cases[] = {
      {kCGEventLeftMouseDown, true},     {kCGEventLeftMouseUp, true},       {kCGEventRightMouseDown, true},
      {kCGEventRightMouseUp, true},      {kCGEventOtherMouseDown, true},    {kCGEventLeftMouseDragged, true},
      {kCGEventRightMouseDragged, true}, {kCGEventScrollWheel, true},       {kCGEventKeyDown, true},
      {kCGEventFlagsChanged, true},      {kCGEventMouseMoved, false},       {kCGEventKeyUp, false},
      {kCGEventOtherMouseUp, false},     {kCGEventOtherMouseDragged, false},
  };
  for (const auto& c : cases) {
    local(c.type);
    EXPECT_EQ(reports, c.counts ? std::vector<bool>{true} : std::vector<bool>{}) << c.type;
    EXPECT_EQ(guard->policy().allowsInjection(queue.now()), !c.counts) << c.type;
    queue.advance(2.05s);
    reports.clear();
  }
}

TEST_F(LocalControlGuardTest, MarkedEventsNeverChangeTheStateUnmarkedOnesDo) {
  guard->start();
  injector.inject(events::MouseDown{MouseButton::left, 0.5, 0.5});
  injector.inject(events::KeyEvent{0, {ModifierKey::shift}, true});
  injector.inject(events::Scrolled{0, 1});
  local(kCGEventKeyDown, LocalControlGuard::kInjectionMarker);
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(guard->policy().allowsInjection(queue.now()));

  CGEvent fromAnotherProgram;
  fromAnotherProgram.type = kCGEventScrollWheel;
  sim.post(fromAnotherProgram);
  queue.runUntilIdle();
  EXPECT_EQ(reports, std::vector<bool>{true});
}

TEST_F(LocalControlGuardTest, LocalInputReleasesTabletInputOnceAndResumesAfterTheQuietInterval) {
  guard->start();
  injector.inject(events::MouseDown{MouseButton::left, 0.5, 0.5});
  sim.cursor = {10, 20};
  sim.clearPosted();
  const double first = queue.now();
  local(kCGEventKeyDown);
  EXPECT_EQ(posted(), Lines{"leftUp 10,20 b0 M"});
  EXPECT_EQ(reports, std::vector<bool>{true});
  EXPECT_TRUE(guard->heldMouseButtons().empty());
  EXPECT_EQ(log.lines().back(), "[LocalControlGuard] released held injected input (local preempt)");

  queue.advance(1s);
  local(kCGEventLeftMouseDown);
  EXPECT_EQ(posted().size(), 1u) << "nothing left to release";
  EXPECT_EQ(reports, std::vector<bool>{true});

  queue.advance(2.04s);
  EXPECT_EQ(reports, std::vector<bool>{true});
  queue.advance(0.02s);
  EXPECT_EQ(reports, (std::vector<bool>{true, false}));
  EXPECT_NEAR(reportedAt.back() - first, 3.05, 1e-9) << "2.05 s after the last local input";
  queue.advance(10s);
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(LocalControlGuardTest, EmergencyStopWorksWithoutTapAndResumeWaitsForTheGraceWindow) {
  sim.tapRefused = true;
  guard->start();
  EXPECT_EQ(log.lines(), Lines{"[LocalControlGuard] WARNING: event tap not created — real-time local yield disabled "
                               "(grant Input Monitoring/Accessibility). Emergency stop still works."});
  EXPECT_FALSE(guard->hasTap());
  guard->policy().setInjectionDisabled(true);
  guard->evaluate();
  guard->policy().setInjectionDisabled(false);
  guard->evaluate();
  EXPECT_EQ(reports, (std::vector<bool>{true, false}));

  sim.tapRefused = false;
  reports.clear();
  guard->start();
  local(kCGEventKeyDown);
  guard->policy().setInjectionDisabled(true);
  guard->evaluate();
  queue.advance(1s);
  guard->policy().setInjectionDisabled(false);
  guard->evaluate();
  EXPECT_EQ(reports, std::vector<bool>{true}) << "still within the grace window";
  queue.advance(1.1s);
  EXPECT_EQ(reports, (std::vector<bool>{true, false}));
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
  EXPECT_EQ(reports, std::vector<bool>{true});

  guard->start();
  guard->evaluate();
  local(kCGEventFlagsChanged);
  EXPECT_EQ(reports, (std::vector<bool>{true, true}));
}

TEST_F(LocalControlGuardTest, TapSwitchedOffBySystemIsSwitchedBackOn) {
  guard->start();
  for (CGEventType reason : {kCGEventTapDisabledByTimeout, kCGEventTapDisabledByUserInput}) {
    sim.disableTaps(reason);
    queue.runUntilIdle();
    EXPECT_TRUE(sim.tapEnabled());
    EXPECT_TRUE(reports.empty()) << "the notification is not input";
  }
  local(kCGEventKeyDown);
  EXPECT_EQ(reports, std::vector<bool>{true});
}

}  // namespace
}  // namespace orvane::test
