#include "OrvaneMac/input/InputInjector.h"

#include <cmath>
#include <limits>

#include "OrvaneMac/input/GraphemeClusters.h"
#include "tests/OrvaneMac/input/InputFixture.h"

namespace orvane::test {
namespace {

using namespace std::chrono_literals;
using M = MouseButton;
using K = ModifierKey;
using InputInjectorTest = InputFixture;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST_F(InputInjectorTest, EachEventPostsItsSequence) {
  const struct {
    ControlEvent event;
    Lines expected;
  } cases[] = {
      {events::MouseMoved{0.5, 0.5}, {"moved 720,450 b0 M"}},
      {events::MouseDown{M::middle, 0.25, 0.5}, {"rightDown 360,450 b1 M"}},
      {events::MouseUp{M::left, 0.1, 0.1}, {"leftUp 144,90 b0 M"}},
      {events::MouseDragged{M::right, 0, 1}, {"rightDragged 0,900 b1 M"}},
      {events::MouseClicked{M::left, 1, 0}, {"leftDown 1440,0 b0 M", "leftUp 1440,0 b0 M"}},
      {events::DoubleClick{M::left, 0.5, 0.5},
       {"leftDown 720,450 b0 c1 M", "leftUp 720,450 b0 c1 M", "leftDown 720,450 b0 c2 M", "leftUp 720,450 b0 c2 M"}},
      {events::MiddleClick{0.5, 0.5}, {"otherDown 720,450 b2 M", "otherUp 720,450 b2 M"}},
      {events::Scrolled{1.5, -2}, {"scroll -6,4 M"}},
      {events::Scrolled{-0.99, 0.34}, {"scroll 1,-2 M"}},  // truncated towards zero
      {events::KeyEvent{0, {K::ctrl, K::alt}, false}, {"keyUp 0 0xc0000 M", "keyUp 58 M", "keyUp 59 M"}},
      {events::AppSwitchGesture{},
       {"keyDown 59 0x40000 M", "keyDown 126 0x40000 M", "keyUp 126 0x40000 M", "keyUp 59 M"}},
      {events::ToggleFullScreen{},
       {"keyDown 59 0x140000 M", "keyDown 55 0x140000 M", "keyDown 3 0x140000 M", "keyUp 3 0x140000 M",
        "keyUp 55 M", "keyUp 59 M"}},
      {events::VolumeUp{}, {"system 8 0xa00 -1", "system 8 0xb00 -1"}},  // never marked
      {events::Mute{}, {"system 8 0x70a00 -1", "system 8 0x70b00 -1"}},
      {events::BrightnessDown{}, {"system 8 0x30a00 -1", "system 8 0x30b00 -1"}},
      {events::TypeText{""}, {}},
      {events::RequestWindowList{}, {}},
      // Nothing a system could carry out: dropped whole, never injected.
      {events::KeyEvent{65536, {K::cmd}, true}, {}},
      {events::KeyEvent{-1, {K::cmd}, false}, {}},
      {events::Scrolled{0, 1e9}, {}},
      {events::Scrolled{kInf, 0}, {}},
      {events::Scrolled{std::nan(""), 0}, {}},
      {events::MouseMoved{1e308, 0.5}, {}},
      {events::MouseDown{M::left, 0.5, -kInf}, {}},
      // ...except a release, which happens where the cursor is (the middle click left it at 720,450).
      {events::MouseUp{M::right, std::nan(""), 0}, {"rightUp 720,450 b1 M"}},
  };
  for (const auto& c : cases) {
    injector.inject(c.event);
    EXPECT_EQ(takePosted(), c.expected) << toString(c.event.type());
  }
  sim.screen.reset();
  injector.inject(events::MouseMoved{0.5, 0.5});
  EXPECT_EQ(posted(), Lines{"moved 720,450 b0 M"}) << "fallback screen 1440 x 900";
}

TEST_F(InputInjectorTest, ModifiersPressInOrderAndReleaseInReverseWithTheKey) {
  injector.inject(events::KeyEvent{0, {K::cmd, K::shift}, true});
  EXPECT_EQ(takePosted(), (Lines{"keyDown 55 0x120000 M", "keyDown 56 0x120000 M", "keyDown 0 0x120000 M"}));
  EXPECT_EQ(guard->heldKeyVKeys(), (std::set<CGKeyCode>{0, 55, 56}));
  EXPECT_EQ(injector.heldKeys(), (std::set<CGKeyCode>{0, 55, 56}));

  injector.inject(events::KeyEvent{0, {K::cmd, K::shift}, false});
  EXPECT_EQ(takePosted(), (Lines{"keyUp 0 0x120000 M", "keyUp 56 M", "keyUp 55 M"}));
  EXPECT_TRUE(guard->heldKeyVKeys().empty());
  EXPECT_TRUE(injector.heldKeys().empty());
}

TEST_F(InputInjectorTest, WhileLocalControlIsActiveOnlyReleasesGetThrough) {
  guard->start();
  injector.inject(events::MouseDown{M::left, 0.5, 0.5});
  injector.inject(events::KeyEvent{4, {}, true});
  injector.setCapturedWindowFrame(Rect(0, 0, 800, 600));
  local(kCGEventKeyDown);
  sim.clearPosted();
  const struct {
    ControlEvent event;
    bool passes;
  } cases[] = {
      {events::MouseUp{M::left, 0.5, 0.5}, true},  {events::KeyEvent{4, {}, false}, true},
      {events::MouseMoved{0.5, 0.5}, false},       {events::MouseDown{M::left, 0.5, 0.5}, false},
      {events::KeyEvent{4, {}, true}, false},      {events::Scrolled{0, 1}, false},
      {events::TypeText{"a"}, false},              {events::VolumeUp{}, false},
      {events::MinimizeWindow{}, false},
  };
  for (const auto& c : cases) {
    injector.inject(c.event);
    EXPECT_EQ(!takePosted().empty(), c.passes) << toString(c.event.type());
  }
  queue.advance(2.0s);
  injector.inject(events::MouseMoved{0.5, 0.5});
  EXPECT_EQ(posted(), Lines{"moved 720,450 b0 M"}) << "open again after the grace window";
}

TEST_F(InputInjectorTest, WithoutGuardNothingIsGatedOrMarked) {
  InputInjector bare(queue, sim, sim, sim, sim, log);
  guard->policy().setInjectionDisabled(true);  // a guard nobody attached to `bare`
  bare.inject(events::MouseDown{M::left, 0.5, 0.5});
  bare.inject(events::KeyEvent{1, {K::shift}, true});
  EXPECT_EQ(posted(), (Lines{"leftDown 720,450 b0", "keyDown 56 0x20000", "keyDown 1 0x20000"}));
  EXPECT_TRUE(guard->heldKeyVKeys().empty());
}

TEST_F(InputInjectorTest, WatchdogReleasesAtTheCursorTwoSecondsAfterTheLastPressOrDrag) {
  injector.inject(events::MouseDown{M::left, 0.5, 0.5});
  injector.inject(events::KeyEvent{0, {K::cmd}, true});
  queue.advance(1.5s);
  injector.inject(events::MouseDragged{M::left, 0.6, 0.5});
  sim.cursor = {100, 200};  // the person moved the mouse meanwhile
  sim.clearPosted();
  queue.advance(1.99s);
  EXPECT_TRUE(posted().empty());
  queue.advance(0.01s);
  EXPECT_EQ(posted(), (Lines{"leftUp 100,200 b0 M", "keyUp 0 M", "keyUp 55 M"}));
  EXPECT_TRUE(injector.heldButtons().empty());
  EXPECT_TRUE(injector.heldKeys().empty());
  EXPECT_EQ(queue.pendingTimers(), 0u) << "releases do not re-arm the watchdog";

  injector.inject(events::MouseDown{M::right, 0.5, 0.5});
  sim.cursorUnavailable = true;
  sim.clearPosted();
  injector.releaseAllHeld();
  EXPECT_EQ(posted(), Lines{"rightUp 0,0 b1 M"});
  EXPECT_EQ(queue.pendingTimers(), 0u) << "an explicit release cancels the watchdog";
}

TEST_F(InputInjectorTest, FailedCreationSkipsOnlyThatEventAndItsBookkeeping) {
  sim.refuseCreation = [](const CGEvent& e) {
    return (e.type == kCGEventKeyDown && e.keyCode == 9) || e.data1 == 0xA00;
  };
  injector.inject(events::KeyEvent{9, {K::cmd}, true});
  injector.inject(events::VolumeUp{});
  EXPECT_EQ(posted(), (Lines{"keyDown 55 0x100000 M", "system 8 0xb00 -1"}));
  EXPECT_EQ(injector.heldKeys(), std::set<CGKeyCode>{55});
}

TEST_F(InputInjectorTest, TypesOneKeyPairPerUserPerceivedCharacter) {
  injector.inject(events::TypeText{"e\u0301\U0001F600a"});
  EXPECT_EQ(posted(), (Lines{"keyDown 0 M", "keyUp 0 M", "keyDown 0 M", "keyUp 0 M", "keyDown 0 M", "keyUp 0 M"}));
  const std::u16string expected[] = {u"e\u0301", u"e\u0301", u"\U0001F600", u"\U0001F600", u"a", u"a"};
  for (std::size_t i = 0; i < sim.posted().size(); ++i) EXPECT_EQ(sim.posted()[i].unicode, expected[i]) << i;
}

TEST(GraphemeClustersTest, SplitsExtendedGraphemeClusters) {
  const struct {
    const char* text;
    std::vector<std::size_t> unitsPerCluster;
  } cases[] = {
      {"", {}},
      {"e\u0301\u0302x", {3, 1}},                                         // stacked combining marks
      {"\U0001F44D\U0001F3FD", {4}},                                      // skin-tone modifier
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467", {8}},                // ZWJ family
      {"a\u200D\U0001F600", {2, 2}},                                      // ZWJ joins only after a pictograph
      {"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA\U0001F1EB", {4, 4, 2}},  // flags pair up
      {"\u1112\u1161\u11AB\uD55C", {3, 1}},                               // conjoining jamo, then a syllable
      {"\r\n\n", {2, 1}},
      {"\u0915\u093F", {2}},                                              // Devanagari spacing vowel sign
      {"\xff" "a", {1, 1}},                                               // ill-formed byte becomes U+FFFD
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> units;
    for (const auto& cluster : graphemeClustersUtf16(c.text)) units.push_back(cluster.size());
    EXPECT_EQ(units, c.unitsPerCluster) << c.text;
  }
}

}  // namespace
}  // namespace orvane::test
