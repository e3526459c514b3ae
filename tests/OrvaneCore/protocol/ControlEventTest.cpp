#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "OrvaneCore/protocol/ControlEvent.h"

namespace orvane {
namespace {

using namespace events;

struct Golden {
  ControlEvent event;
  std::string json;
};

// One entry per case, in declaration order: the exact wire text of each.
const std::vector<Golden>& goldens() {
  static const std::vector<Golden> all = {
      {MouseMoved{0.25, 0.75}, R"({"type":"mouseMoved","x":0.25,"y":0.75})"},
      {MouseDown{MouseButton::left, 0.5, 0.5}, R"({"type":"mouseDown","button":"left","x":0.5,"y":0.5})"},
      {MouseUp{MouseButton::right, 1, 0}, R"({"type":"mouseUp","button":"right","x":1,"y":0})"},
      {MouseDragged{MouseButton::middle, 0.1, 0.2}, R"({"type":"mouseDragged","button":"middle","x":0.1,"y":0.2})"},
      {MouseClicked{MouseButton::left, -0.5, 1.5}, R"({"type":"mouseClicked","button":"left","x":-0.5,"y":1.5})"},
      {DoubleClick{MouseButton::left, 0.3, 0.4}, R"({"type":"doubleClick","button":"left","x":0.3,"y":0.4})"},
      {MiddleClick{0.6, 0.7}, R"({"type":"middleClick","x":0.6,"y":0.7})"},
      {Scrolled{-3.5, 12}, R"({"type":"scrolled","deltaX":-3.5,"deltaY":12})"},
      {KeyEvent{36, {ModifierKey::cmd, ModifierKey::shift, ModifierKey::alt, ModifierKey::ctrl}, true},
       R"({"type":"keyEvent","keyCode":36,"modifiers":["cmd","shift","alt","ctrl"],"isDown":true})"},
      {TypeText{"h\xc3\xa9/\"\n"}, "{\"type\":\"typeText\",\"text\":\"h\xc3\xa9\\/\\\"\\n\"}"},
      {VolumeUp{}, R"({"type":"volumeUp"})"},
      {VolumeDown{}, R"({"type":"volumeDown"})"},
      {Mute{}, R"({"type":"mute"})"},
      {BrightnessUp{}, R"({"type":"brightnessUp"})"},
      {BrightnessDown{}, R"({"type":"brightnessDown"})"},
      {AppSwitchGesture{}, R"({"type":"appSwitchGesture"})"},
      {ResizeWindow{800, 600}, R"({"type":"resizeWindow","width":800,"height":600})"},
      {MoveWindow{-20, 40}, R"({"type":"moveWindow","x":-20,"y":40})"},
      {MinimizeWindow{}, R"({"type":"minimizeWindow"})"},
      {ZoomWindow{}, R"({"type":"zoomWindow"})"},
      {CloseWindow{}, R"({"type":"closeWindow"})"},
      {TitleBarZoom{}, R"({"type":"titleBarZoom"})"},
      {ToggleFullScreen{}, R"({"type":"toggleFullScreen"})"},
      {EnlargeWindow{}, R"({"type":"enlargeWindow"})"},
      {ShrinkWindow{}, R"({"type":"shrinkWindow"})"},
      {RequestWindowList{}, R"({"type":"requestWindowList"})"},
      {SwitchToWindow{"4711"}, R"({"type":"switchToWindow","windowID":"4711"})"},
      {SetVideoQuality{VideoQuality::low}, R"({"type":"setVideoQuality","quality":"low"})"},
      {PadScreenInfo{1180, 820}, R"({"type":"padScreenInfo","width":1180,"height":820})"},
      {LaunchApp{"Safari"}, R"({"type":"launchApp","text":"Safari"})"},
      {SearchApps{" saf "}, R"({"type":"searchApps","text":" saf "})"},
      {TextFieldFocused{true}, R"({"type":"textFieldFocused","focused":true})"},
      {WindowList{{{"12", "Term", "~", std::nullopt}, {"13", "Viewer", "pic", std::vector<std::uint8_t>{0xfb, 0xff}}}},
       R"({"type":"windowList","windows":[{"id":"12","appName":"Term","windowTitle":"~"},)"
       R"({"id":"13","appName":"Viewer","windowTitle":"pic","thumbnail":"+\/8="}]})"},
      {AppSuggestions{" sa ", {"Safari", "Slack"}},
       R"({"type":"appSuggestions","text":" sa ","names":["Safari","Slack"]})"},
      {ScreenInfo{1512, 982, 2}, R"({"type":"screenInfo","width":1512,"height":982,"scaleFactor":2})"},
      {WindowFocused{"", "Finder"}, R"({"type":"windowFocused","title":"","appName":"Finder"})"},
      {LocalControlActive{true}, R"({"type":"localControlActive","active":true})"},
      {CaptureStalled{true}, R"({"type":"captureStalled","active":true})"},
      {PeerVersion{42, "1.2.3"}, R"({"type":"peerVersion","build":42,"marketing":"1.2.3"})"},
  };
  return all;
}

TEST(ControlEventTest, EveryCaseHasItsExactWireTextAndRoundTrips) {
  const auto& all = goldens();
  ASSERT_EQ(all.size(), kEventTypeCount);
  for (std::size_t i = 0; i < kEventTypeCount; ++i) {
    const EventType type = allEventTypes()[i];
    ASSERT_EQ(all[i].event.type(), type) << "golden table out of order at " << i;
    EXPECT_EQ(eventTypeFromString(toString(type)), type);
    EXPECT_EQ(encodeControlEvent(all[i].event), all[i].json);
    auto decoded = decodeControlEvent(all[i].json);
    ASSERT_TRUE(decoded.ok()) << all[i].json << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), all[i].event) << all[i].json;
  }
}

TEST(ControlEventTest, EmptyCollectionsAndExtremeValuesRoundTrip) {
  const ControlEvent events[] = {
      AppSuggestions{"q", {}},
      WindowList{},
      KeyEvent{0, {ModifierKey::cmd, ModifierKey::cmd}, false},
      PeerVersion{std::numeric_limits<std::int64_t>::min(), ""},
      MoveWindow{std::numeric_limits<std::int64_t>::max(), 0},
      WindowList{{{"1", "", "", std::vector<std::uint8_t>{}}}},
  };
  for (const ControlEvent& event : events) {
    const auto text = encodeControlEvent(event);
    ASSERT_TRUE(text.has_value());
    auto decoded = decodeControlEvent(*text);
    ASSERT_TRUE(decoded.ok()) << *text << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), event) << *text;
  }
}

TEST(ControlEventTest, NonFiniteDoublesCannotBeEncoded) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(encodeControlEvent(MouseMoved{std::nan(""), 0}).has_value());
  EXPECT_FALSE(encodeControlEvent(Scrolled{0, -inf}).has_value());
  EXPECT_FALSE(encodeControlEvent(ScreenInfo{1, 1, inf}).has_value());
}

// Reordered and unknown members, integral doubles and the common refusals
// are also the orvane-wire line tests (tests/tools/orvane-wire/control.*).
TEST(ControlEventTest, AcceptsWhatTheFormatAllows) {
  const struct {
    const char* json;
    ControlEvent expected;
  } cases[] = {
      {R"({"type":"middleClick","x":0.1,"y":0.2,"button":"bogus"})", MiddleClick{0.1, 0.2}},
      {R"({"type":"captureStalled","active":false,"stalled":true})", CaptureStalled{false}},
      {R"({"type":"windowList","windows":[{"id":"1","appName":"a","windowTitle":"t","thumbnail":null,"x":1}]})",
       WindowList{{{"1", "a", "t", std::nullopt}}}},
      {R"({"type":"mute","type":"mouseMoved","x":0,"y":0})", MouseMoved{0, 0}},  // duplicate key: last wins
  };
  for (const auto& c : cases) {
    auto decoded = decodeControlEvent(c.json);
    ASSERT_TRUE(decoded.ok()) << c.json << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), c.expected) << c.json;
  }
}

TEST(ControlEventTest, RejectsEveryDeviation) {
  const struct {
    const char* json;
    const char* reason;  // a substring of the error
  } cases[] = {
      {R"({})", "missing \"type\""},
      {R"({"type":null})", "missing \"type\""},
      {R"({"type":7})", "\"type\" is not a string"},
      {R"({"type":"mute "})", "unknown \"type\""},
      {R"({"type":"mouseDown","button":"Left","x":0.5,"y":0.5})", "\"button\""},
      {R"({"type":"mouseMoved","x":0.5})", "missing \"y\""},
      {R"({"type":"keyEvent","keyCode":36,"modifiers":["cmd",null],"isDown":true})", "\"modifiers\""},
      {R"({"type":"keyEvent","keyCode":36,"modifiers":"cmd","isDown":true})", "\"modifiers\" is not an array"},
      {R"({"type":"keyEvent","keyCode":36,"modifiers":[],"isDown":1})", "\"isDown\" is not a boolean"},
      {R"({"type":"typeText","text":5})", "\"text\" is not a string"},
      {R"({"type":"switchToWindow","windowID":4711})", "\"windowID\" is not a string"},
      {R"({"type":"setVideoQuality","quality":"medium"})", "\"quality\""},
      {R"({"type":"windowList"})", "missing \"windows\""},
      {R"({"type":"windowList","windows":[{"id":"1","appName":"a"}]})", "missing \"windowTitle\""},
      {R"({"type":"windowList","windows":[7]})", "\"windows\""},
      {R"({"type":"appSuggestions","text":"q","names":["a",1]})", "\"names\""},
      {R"({"type":"appSuggestions","names":[]})", "missing \"text\""},
      {R"({"type":"screenInfo","width":1,"height":1,"scaleFactor":"2"})", "\"scaleFactor\""},
  };
  for (const auto& c : cases) {
    auto decoded = decodeControlEvent(c.json);
    ASSERT_FALSE(decoded.ok()) << c.json;
    EXPECT_NE(decoded.error().find(c.reason), std::string::npos) << c.json << " gave: " << decoded.error();
  }
}

TEST(ControlEventTest, IsReleaseOnlyForMouseUpAndKeyUp) {
  for (const Golden& g : goldens()) {
    const EventType t = g.event.type();
    EXPECT_EQ(g.event.isRelease(), t == EventType::mouseUp) << toString(t);  // the golden keyEvent is a press
  }
  EXPECT_TRUE(ControlEvent(KeyEvent{36, {ModifierKey::cmd}, false}).isRelease());
  EXPECT_FALSE(ControlEvent(MouseDown{MouseButton::left, 0, 0}).isRelease());
}

}  // namespace
}  // namespace orvane
