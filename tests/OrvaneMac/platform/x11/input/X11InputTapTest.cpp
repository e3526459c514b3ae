#include "OrvaneMac/platform/x11/input/X11InputTap.h"

#include <vector>

#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/platform/x11/input/X11EventPoster.h"
#include "tests/OrvaneMac/platform/x11/input/X11InputFixture.h"
#include "tests/support/x11/Person.h"

namespace orvane::x11 {
namespace {

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
};

TEST_F(X11InputTapTest, InjectedEventsCarryTheMarkerAndAPersonsDoNot) {
  test::Person person;
  ASSERT_TRUE(person.ready());
  std::vector<TappedEvent> seen;
  // Everything but plain movement, which depends on where the pointer was.
  auto tap = taps.createListenOnlyTap(~bit(kCGEventMouseMoved), [&](const TappedEvent& e) { seen.push_back(e); });
  ASSERT_TRUE(tap);
  tap->setEnabled(true);
  auto expectSeen = [&](const std::vector<CGEventType>& types, std::int64_t userData) {
    ASSERT_TRUE(runUntil([&] { return seen.size() >= types.size(); }));
    for (std::size_t i = 0; i < types.size(); ++i) {
      EXPECT_EQ(seen[i].type, types[i]) << i;
      EXPECT_EQ(seen[i].userData, userData) << i;
    }
    seen.clear();
  };
  post(kCGEventLeftMouseDown, {200, 200});
  post(kCGEventLeftMouseDragged, {220, 210});
  post(kCGEventLeftMouseUp, {220, 210});
  key(0);
  key(56);  // shift
  poster.post(*poster.createScrollWheelEvent(50, 0));
  post(kCGEventOtherMouseDown, {220, 210}, 2);
  post(kCGEventOtherMouseUp, {220, 210}, 2);
  // A release moves to its location first: still pressed, that is a drag.
  expectSeen({kCGEventLeftMouseDown, kCGEventLeftMouseDragged, kCGEventLeftMouseDragged, kCGEventLeftMouseUp,
              kCGEventKeyDown, kCGEventKeyUp, kCGEventFlagsChanged, kCGEventFlagsChanged, kCGEventScrollWheel,
              kCGEventOtherMouseDown, kCGEventOtherMouseDragged, kCGEventOtherMouseUp},
             X11InputTap::kInjectionMarker);
  person.key(38);  // a
  person.key(50);  // Shift_L
  person.click();
  expectSeen({kCGEventKeyDown, kCGEventKeyUp, kCGEventFlagsChanged, kCGEventFlagsChanged, kCGEventLeftMouseDown,
              kCGEventLeftMouseUp},
             0);
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

}  // namespace
}  // namespace orvane::x11
