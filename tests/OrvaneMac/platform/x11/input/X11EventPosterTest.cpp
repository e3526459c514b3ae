#include "OrvaneMac/platform/x11/input/X11EventPoster.h"

#include <X11/keysym.h>

#include <algorithm>
#include <array>

#include "OrvaneMac/input/GraphemeClusters.h"
#include "OrvaneMac/platform/x11/input/X11InputProbe.h"
#include "tests/OrvaneMac/platform/x11/input/X11InputFixture.h"
#include "tests/support/x11/TestClient.h"

namespace orvane::x11 {
namespace {

using test::TestClient;

class X11EventPosterTest : public X11InputFixture {
 protected:
  void mouse(CGEventType type, Point at, CGMouseButton button = 0, std::int64_t clickState = 0) {
    auto event = poster.createMouseEvent(type, at, button);
    event->clickState = clickState;
    poster.post(*event);
  }
  // As the injector types: one key-down/up pair per character, nothing awaited.
  void type(const std::string& text) {
    for (const std::u16string& character : graphemeClustersUtf16(text)) {
      for (bool down : {true, false}) {
        auto event = poster.createKeyboardEvent(0, down);
        event->unicode = character;
        poster.post(*event);
      }
    }
  }
  // The client's next line starting with `prefix`, the main loop running meanwhile.
  std::string lineFrom(TestClient& client, const std::string& prefix, double seconds = 5) {
    std::optional<std::string> line;
    runUntil([&] { return (line = client.waitForLine(prefix, 0.01)).has_value(); }, seconds);
    return line.value_or("(nothing for \"" + prefix + "\")");
  }

  X11EventPoster poster{*x, queue, {.spareRestoreAfter = 0.5}};
};

TEST_F(X11EventPosterTest, ClicksLandOnTheirPixelWithDoubleClicksWheelNotchesAndThePointerKeptOnTheRoot) {
  EXPECT_TRUE(x11InputAvailable(*x));
  TestClient client;
  // Left, right and other are X buttons 1, 3 and 2; a location's fraction is dropped.
  for (auto [down, up, button, xButton] : {std::tuple{kCGEventLeftMouseDown, kCGEventLeftMouseUp, 0u, 1},
                                           std::tuple{kCGEventRightMouseDown, kCGEventRightMouseUp, 1u, 3},
                                           std::tuple{kCGEventOtherMouseDown, kCGEventOtherMouseUp, 2u, 2}}) {
    const int left = 300 + 40 * xButton;
    mouse(down, {left + 0.7, 250.4}, button);
    mouse(up, {left + 0.7, 250.4}, button);
    EXPECT_EQ(lineFrom(client, "click"),
              "click button=" + std::to_string(xButton) + " x=" + std::to_string(left) + " y=250 count=1");
  }
  for (std::int64_t clickState : {1, 2}) {
    mouse(kCGEventLeftMouseDown, {420, 260}, 0, clickState);
    mouse(kCGEventLeftMouseUp, {420, 260}, 0, clickState);
  }
  EXPECT_EQ(lineFrom(client, "click button=1 x=420 y=260 count=2"), "click button=1 x=420 y=260 count=2");

  mouse(kCGEventMouseMoved, {400, 300});
  // 50 px a notch: 120 is two up with 20 left, +40 makes a third; -50
  // horizontally is one right; the way back down starts afresh.
  for (auto [vertical, horizontal] : {std::pair{120, 0}, std::pair{40, 0}, std::pair{0, -50}, std::pair{-30, 0},
                                      std::pair{-30, 0}}) {
    poster.post(*poster.createScrollWheelEvent(vertical, horizontal));
  }
  std::vector<std::string> scrolls;
  for (int i = 0; i < 5; ++i) scrolls.push_back(lineFrom(client, "scroll"));
  EXPECT_EQ(scrolls, (std::vector<std::string>{"scroll direction=up", "scroll direction=up", "scroll direction=up",
                                               "scroll direction=right", "scroll direction=down"}));
  EXPECT_EQ(client.waitForLine("scroll", 0.2), std::nullopt);

  mouse(kCGEventMouseMoved, {-50, 99999});
  EXPECT_EQ(poster.cursorLocation(), (Point{0, 1079}));
  mouse(kCGEventMouseMoved, {1e300, 12.9});
  EXPECT_EQ(poster.cursorLocation(), (Point{1919, 12}));
  mouse(kCGEventMouseMoved, {std::nan(""), 500});
  EXPECT_EQ(poster.cursorLocation(), (Point{1919, 12})) << "no place to go: the pointer stays";
}

TEST_F(X11EventPosterTest, TextArrivesExactlyAndTheKeymapComesBackThenChordsAndMediaKeysArriveAsXKeys) {
  const std::vector<KeySym> before = keyboardMapping();
  TestClient client;
  ASSERT_EQ(lineFrom(client, "focus"), "focus entry");
  // Latin-1, a combining accent, scripts and symbols off the keymap, an emoji with its skin tone,
  // upper case off it (É, Ω), shifted characters on it, more distinct characters than spare keycodes.
  const std::string text =
      "Héllo wörld ✓ 日本 👍🏽 e\u0301 ÉΩ! 東西南北春夏秋冬一二三四五";
  type(text);
  EXPECT_GT(poster.deferredEvents(), 0u) << "more distinct characters than spare keycodes";
  ASSERT_EQ(lineFrom(client, "text " + text, 20), "text " + text);
  EXPECT_TRUE(runUntil([&] { return !poster.keymapLent(); }, 5)) << "spare keycodes given back";
  EXPECT_EQ(keyboardMapping(), before);

  // Another client changes the map: ö takes the key of a, which must now be lent a keycode.
  Display* other = XOpenDisplay(nullptr);
  const KeyCode keyA = XKeysymToKeycode(other, XK_a);
  std::array<KeySym, 2> umlaut = {XK_odiaeresis, XK_Odiaeresis}, plain = {XK_a, XK_A};
  XChangeKeyboardMapping(other, keyA, 2, umlaut.data(), 1);
  XSync(other, False);
  XSync(x->get(), False);
  x->dispatchPending();
  type("aö");
  EXPECT_EQ(lineFrom(client, "text " + text + "aö"), "text " + text + "aö");
  XChangeKeyboardMapping(other, keyA, 2, plain.data(), 1);
  XCloseDisplay(other);
  EXPECT_TRUE(runUntil([&] { return !poster.keymapLent(); }, 5));
  EXPECT_EQ(keyboardMapping(), before);
  const auto lines = client.linesSoFar();
  EXPECT_EQ(*std::find_if(lines.rbegin(), lines.rend(), [](const auto& l) { return l.starts_with("text "); }),
            "text " + text + "aö") << "nothing typed after the text";

  X11EventPoster superPoster(*x, queue, {.commandKey = CommandKey::super});
  const std::vector<std::tuple<X11EventPoster*, CGKeyCode, std::string>> chords = {
      {&poster, 56, "key keysym=A state=0x1"},        // shift+a
      {&poster, 55, "key keysym=c state=0x4"},        // cmd+c as Control
      {&superPoster, 55, "key keysym=c state=0x40"}};  // cmd+c as Super (Mod4)
  for (const auto& [to, modifier, expected] : chords) {
    const CGKeyCode letter = modifier == 56 ? 0 : 8;
    for (auto [key, down] : {std::pair{modifier, true}, {letter, true}, {letter, false}, {modifier, false}}) {
      to->post(*to->createKeyboardEvent(key, down));
    }
    EXPECT_EQ(lineFrom(client, expected.substr(0, expected.find("state"))), expected);
  }
  // GDK names the XF86 keysyms without their prefix.
  for (auto [keyType, name] : {std::pair{0, "AudioRaiseVolume"}, std::pair{1, "AudioLowerVolume"},
                               std::pair{7, "AudioMute"}, std::pair{2, "MonBrightnessUp"},
                               std::pair{3, "MonBrightnessDown"}}) {
    for (int phase : {0x0A00, 0x0B00}) {
      poster.post(*poster.createSystemDefinedEvent(kNXSubtypeAuxControlButtons, keyType * 65536 + phase, -1));
    }
    EXPECT_EQ(lineFrom(client, std::string("key keysym=") + name), std::string("key keysym=") + name + " state=0x0");
  }
}

}  // namespace
}  // namespace orvane::x11
