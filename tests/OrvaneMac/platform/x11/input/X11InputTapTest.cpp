#include "OrvaneMac/platform/x11/input/X11InputTap.h"

#include <string>

#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "tests/OrvaneMac/platform/x11/input/X11InputFixture.h"
#include "tests/support/x11/Person.h"

namespace orvane::x11 {
namespace {

using test::Person;

static_assert(X11InputTap::kInjectionMarker == LocalControlGuard::kInjectionMarker);

constexpr std::uint64_t bit(CGEventType type) { return std::uint64_t{1} << type; }

class X11InputTapTest : public X11InputFixture {
 protected:
  void post(CGEventType type, Point at = {}, CGMouseButton button = 0) {
    poster.post(*poster.createMouseEvent(type, at, button));
  }
  void key(CGKeyCode key) {
    for (bool down : {true, false}) poster.post(*poster.createKeyboardEvent(key, down));
  }

  X11InputTap taps{*x};
  X11EventPoster poster{*x, queue};
  Person person;
};

TEST_F(X11InputTapTest, InjectedEventsCarryTheMarkerAndAPersonsDoNot) {
  ASSERT_TRUE(person.ready());
  std::vector<TappedEvent> seen;
  // Everything but plain movement, which depends on where the pointer was.
  auto tap = taps.createListenOnlyTap(~bit(kCGEventMouseMoved), [&](const TappedEvent& e) { seen.push_back(e); });
  ASSERT_TRUE(tap);
  tap->setEnabled(true);
  post(kCGEventLeftMouseDown, {200, 200});
  post(kCGEventLeftMouseDragged, {220, 210});
  post(kCGEventLeftMouseUp, {220, 210});
  key(0);
  key(56);  // shift
  poster.post(*poster.createScrollWheelEvent(50, 0));
  post(kCGEventOtherMouseDown, {220, 210}, 2);
  post(kCGEventOtherMouseUp, {220, 210}, 2);
  // A release moves to its location first: still pressed, that is a drag.
  const std::vector<CGEventType> injected = {
      kCGEventLeftMouseDown, kCGEventLeftMouseDragged, kCGEventLeftMouseDragged, kCGEventLeftMouseUp,
      kCGEventKeyDown,       kCGEventKeyUp,            kCGEventFlagsChanged,     kCGEventFlagsChanged,
      kCGEventScrollWheel,   kCGEventOtherMouseDown,   kCGEventOtherMouseDragged, kCGEventOtherMouseUp};
  ASSERT_TRUE(runUntil([&] { return seen.size() >= injected.size(); }));
  for (std::size_t i = 0; i < injected.size(); ++i) {
    EXPECT_EQ(seen[i].type, injected[i]) << i;
    EXPECT_EQ(seen[i].userData, X11InputTap::kInjectionMarker) << i;
  }

  seen.clear();
  person.key(38);  // a
  person.key(50);  // Shift_L
  person.click();
  const std::vector<CGEventType> local = {kCGEventKeyDown,      kCGEventKeyUp,         kCGEventFlagsChanged,
                                          kCGEventFlagsChanged, kCGEventLeftMouseDown, kCGEventLeftMouseUp};
  ASSERT_TRUE(runUntil([&] { return seen.size() >= local.size(); }));
  for (std::size_t i = 0; i < local.size(); ++i) {
    EXPECT_EQ(seen[i].type, local[i]) << i;
    EXPECT_EQ(seen[i].userData, 0) << i;
  }
}

TEST_F(X11InputTapTest, EachTapDeliversOnlyWhileEnabledAndNothingOnceDestroyed) {
  int first = 0, second = 0;
  std::unique_ptr<EventTap> selfDestroying, steady;
  selfDestroying = taps.createListenOnlyTap(bit(kCGEventKeyDown), [&](const TappedEvent&) {
    ++first;
    selfDestroying.reset();
  });
  steady = taps.createListenOnlyTap(bit(kCGEventKeyDown), [&](const TappedEvent&) { ++second; });
  steady->setEnabled(true);
  key(0);
  ASSERT_TRUE(runUntil([&] { return second == 1; }));
  EXPECT_EQ(first, 0) << "not enabled yet";
  selfDestroying->setEnabled(true);
  key(0);
  key(0);
  ASSERT_TRUE(runUntil([&] { return second == 3; }));
  EXPECT_EQ(first, 1);
}

TEST_F(X11InputTapTest, LocalControlGuardPausesForAPersonAndNeverForInjectedInput) {
  ASSERT_TRUE(person.ready());
  CapturingLogSink log;
  LocalControlGuard guard(queue, taps, poster, log);
  std::vector<bool> reports;
  guard.onLocalControlChanged = [&](bool active) { reports.push_back(active); };
  guard.start();
  ASSERT_TRUE(guard.hasTap());
  // Sees what the guard sees, right after it.
  int seen = 0;
  auto witness = taps.createListenOnlyTap(bit(kCGEventLeftMouseDown) | bit(kCGEventKeyDown), [&](const TappedEvent&) {
    ++seen;
  });
  witness->setEnabled(true);

  post(kCGEventLeftMouseDown, {300, 300});
  post(kCGEventLeftMouseUp, {300, 300});
  key(1);
  ASSERT_TRUE(runUntil([&] { return seen == 2; }));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(guard.policy().allowsInjection(queue.now()));

  person.key(38);
  ASSERT_TRUE(runUntil([&] { return !reports.empty(); }));
  const double pausedAt = queue.now();
  EXPECT_EQ(reports, std::vector<bool>{true});
  EXPECT_FALSE(guard.policy().allowsInjection(queue.now()));
  ASSERT_TRUE(runUntil([&] { return reports.size() == 2; }, 4));
  EXPECT_EQ(reports, (std::vector<bool>{true, false}));
  EXPECT_GE(queue.now() - pausedAt, 2.0);
  EXPECT_TRUE(guard.policy().allowsInjection(queue.now()));
}

}  // namespace
}  // namespace orvane::x11
