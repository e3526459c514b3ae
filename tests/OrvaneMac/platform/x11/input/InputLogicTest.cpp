#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "OrvaneMac/platform/x11/input/KeymapIndex.h"
#include "OrvaneMac/platform/x11/input/SpareKeyPool.h"
#include "OrvaneMac/platform/x11/input/VirtualKeys.h"
#include "OrvaneMac/platform/x11/input/WheelSteps.h"

namespace orvane::x11 {
namespace {

TEST(X11KeyTableTest, AnsiLayoutReachesEveryLetterDigitAndFunctionKeyOnce) {
  std::map<KeySym, int> reached;
  for (CGKeyCode key = 0; key < 256; ++key) ++reached[keysymForVirtualKey(key, CommandKey::control)];
  for (KeySym k = XK_a; k <= XK_z; ++k) EXPECT_EQ(reached[k], 1) << XKeysymToString(k);
  for (KeySym k = XK_0; k <= XK_9; ++k) EXPECT_EQ(reached[k], 1) << XKeysymToString(k);
  for (KeySym k = XK_F1; k <= XK_F12; ++k) EXPECT_EQ(reached[k], 1) << XKeysymToString(k);

  const std::map<CGKeyCode, KeySym> irregular = {
      {0, XK_a},        {6, XK_z},      {11, XK_b},         {22, XK_6},      {23, XK_5},    {30, XK_bracketright},
      {50, XK_grave},   {51, XK_BackSpace}, {117, XK_Delete}, {122, XK_F1},  {99, XK_F3},   {111, XK_F12},
      {116, XK_Prior},  {121, XK_Next}, {123, XK_Left},     {126, XK_Up},    {60, XK_Shift_L}, {57, XK_Caps_Lock}};
  for (const auto& [key, keysym] : irregular) EXPECT_EQ(keysymForVirtualKey(key, CommandKey::control), keysym) << key;
  EXPECT_EQ(keysymForVirtualKey(10, CommandKey::control), KeySym(NoSymbol)) << "ISO section key: no ANSI counterpart";
  EXPECT_EQ(keysymForVirtualKey(500, CommandKey::control), KeySym(NoSymbol));
  for (CGKeyCode command : {54, 55}) {
    EXPECT_EQ(keysymForVirtualKey(command, CommandKey::control), KeySym(XK_Control_L));
    EXPECT_EQ(keysymForVirtualKey(command, CommandKey::super), KeySym(XK_Super_L));
  }
}

// Typed text and media keys on the server are tested in X11EventPosterTest; here what it cannot show.
TEST(X11KeyTableTest, ControlCharactersBecomeKeysOrNothingAndUnknownMediaKeysNothing) {
  EXPECT_EQ(keysymForCharacter(U'\n'), KeySym(XK_Return));
  EXPECT_EQ(keysymForCharacter(U'\t'), KeySym(XK_Tab));
  for (char32_t refused : {char32_t(0x07), char32_t(0x85), char32_t(0xD800), char32_t(0x110000)}) {
    EXPECT_EQ(keysymForCharacter(refused), KeySym(NoSymbol)) << std::hex << std::uint32_t(refused);
  }
  EXPECT_EQ(keysymForMediaKey(4), KeySym(NoSymbol));
}

TEST(X11WheelStepsTest, ATurnDropsTheRemainderAndHugeAmountsAreCapped) {
  WheelSteps steps(50);  // the carried remainder is tested through the poster
  EXPECT_EQ(steps.add(40), 0);
  EXPECT_EQ(steps.add(-30), 0) << "the 40 upwards does not eat the way down";
  EXPECT_EQ(steps.add(-20), -1);
  EXPECT_EQ(steps.add(INT32_MAX), WheelSteps::kMaxStepsPerAmount);
  EXPECT_EQ(steps.add(INT32_MIN), -WheelSteps::kMaxStepsPerAmount);
}

TEST(X11SpareKeyPoolTest, AKeycodeKeepsItsKeysymUntilItHasBeenIdleLongEnough) {
  SpareKeyPool pool(0.5);
  pool.setSpares({93, 97});
  auto first = pool.lend(0x10065E5, 10.0);
  auto second = pool.lend(0x1006587, 10.0);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(first->mapNow && second->mapNow);
  EXPECT_NE(first->keycode, second->keycode);
  auto again = pool.lend(0x10065E5, 10.1);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->keycode, first->keycode);
  EXPECT_FALSE(again->mapNow) << "a repeated character needs no new mapping";

  EXPECT_FALSE(pool.lend(XK_eacute, 10.2)) << "both keycodes may still have events in flight";
  EXPECT_DOUBLE_EQ(*pool.nextLendableAt(), 10.5);
  auto reused = pool.lend(XK_eacute, 10.5);
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->keycode, second->keycode) << "the least recently used one";

  pool.hold(first->keycode);
  EXPECT_EQ(pool.lend(XK_odiaeresis, 20.0)->keycode, second->keycode) << "a held key keeps its keysym, though older";
  EXPECT_FALSE(pool.lend(XK_adiaeresis, 20.1));
  EXPECT_DOUBLE_EQ(*pool.nextLendableAt(), 20.5);
  EXPECT_EQ(pool.takeMapped(), std::vector<KeyCode>{second->keycode});
  pool.unhold(first->keycode);
  EXPECT_EQ(pool.takeMapped(), std::vector<KeyCode>{first->keycode});
  EXPECT_TRUE(pool.lend(XK_adiaeresis, 30.0)->mapNow);
}

TEST(X11KeymapIndexTest, PlainKeysBeatShiftedOnesAndOurKeycodesCountAsEmpty) {
  // Keycodes 8..12, two columns each.
  const std::vector<KeySym> map = {XK_1, XK_exclam, XK_a, XK_A, NoSymbol, NoSymbol, XK_exclam, NoSymbol,
                                   XK_eacute, XK_eacute};
  KeymapIndex index(8, 2, map, [](KeyCode keycode) { return keycode == 12; });
  EXPECT_EQ(index.find(XK_A, true)->keycode, 9);
  EXPECT_TRUE(index.find(XK_A, true)->shift);
  EXPECT_FALSE(index.find(XK_A, false));
  EXPECT_EQ(index.find(XK_exclam, false)->keycode, 11) << "unshifted on 11 rather than shifted on 8";
  EXPECT_FALSE(index.find(XK_eacute, true)) << "12 carries a character lent by us";
  EXPECT_EQ(index.emptyKeycodes(), (std::vector<KeyCode>{10, 12}));
}

}  // namespace
}  // namespace orvane::x11
