#include "OrvaneMac/input/TextFieldObserver.h"

#include <gtest/gtest.h>

#include <cmath>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/sim/SimDesktop.h"

namespace orvane {
namespace {

using Id = SimDesktop::ElementId;
using Reports = std::vector<bool>;

class TextFieldObserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.addApp({501, "Notes", "com.example.notes"});
    sim.addApp({502, "Terminal", "com.example.terminal"});
    window = sim.addWindow(501, "Doc", Rect(0, 0, 800, 600));
    search = sim.addElement(window, "AXSearchField", Rect(10, 10, 200, 20));
    field = sim.addElement(window, "AXTextField", Rect(10, 40, 200, 20));
    button = sim.addElement(window, "AXButton", Rect(10, 70, 80, 20));
    other = sim.addWindow(502, "bash", Rect(900, 0, 400, 300));
    sim.activate(501);
    sim.focus(button);
    queue.runUntilIdle();
    observer.onFocusChanged = [this](bool focused) { reports.push_back(focused); };
  }
  void focus(Id id) { sim.focus(id); queue.runUntilIdle(); }
  void activate(std::int32_t pid) { sim.activate(pid); queue.runUntilIdle(); }

  ManualExecutor queue;
  SimDesktop sim{queue};
  TextFieldObserver observer{sim, sim};
  Reports reports;
  Id window = 0, search = 0, field = 0, button = 0, other = 0;
};

TEST_F(TextFieldObserverTest, ReportsEachChangeOnceAndAgainAfterARestart) {
  observer.start();
  EXPECT_EQ(reports, Reports{false}) << "the first evaluation is always reported";
  focus(search);
  focus(button);
  focus(field);
  focus(search);
  EXPECT_EQ(reports, (Reports{false, true, false, true}));

  observer.stop();
  focus(button);
  activate(502);
  EXPECT_EQ(reports.size(), 4u) << "stopped: no observer, no subscription";
  activate(501);
  focus(search);
  observer.start();
  EXPECT_EQ(reports, (Reports{false, true, false, true, true})) << "unchanged, but reported again";
}

TEST_F(TextFieldObserverTest, FollowsActivationsAndTreatsCannotCompleteAsATextField) {
  observer.start();
  sim.failAX(SimDesktop::AXCall::copy, "AXFocusedUIElement", kAXErrorCannotComplete);
  activate(502);
  EXPECT_EQ(reports, (Reports{false, true}));
  sim.failAX(SimDesktop::AXCall::copy, "AXFocusedUIElement", kAXErrorFailure);
  focus(other);
  EXPECT_EQ(reports, (Reports{false, true, false}));
  sim.clearAXFailures();

  sim.addApp({-1, "kernel_task", ""});
  activate(-1);
  focus(search);  // in the application no longer observed
  EXPECT_EQ(reports, (Reports{false, true, false}));
}

TEST_F(TextFieldObserverTest, CheckJudgesTheElementUnderThePoint) {
  observer.start();
  focus(field);
  const struct {
    float x, y;
    AXError error;
    Reports expected;
  } cases[] = {
      {20, 75, kAXErrorSuccess, {false, true, false}},                   // the button
      {20, 75, kAXErrorAPIDisabled, {false, true, false}},               // a failed query says nothing...
      {20, 75, kAXErrorCannotComplete, {false, true, false, true}},      // ... except "cannot complete"
      {20, 75, kAXErrorSuccess, {false, true, false, true, false}},
      {5000, 5000, kAXErrorSuccess, {false, true, false, true, false}},  // nothing there
      {std::nanf(""), 15, kAXErrorSuccess, {false, true, false, true, false}},
      {20, 15, kAXErrorSuccess, {false, true, false, true, false, true}},  // the search field
  };
  for (const auto& c : cases) {
    sim.clearAXFailures();
    if (c.error != kAXErrorSuccess) sim.failAX(SimDesktop::AXCall::elementAtPosition, "", c.error);
    observer.check(c.x, c.y);
    EXPECT_EQ(reports, c.expected) << c.x << " " << c.error;
  }
}

}  // namespace
}  // namespace orvane
