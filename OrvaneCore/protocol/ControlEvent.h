#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "OrvaneCore/json/DecodeResult.h"
#include "OrvaneCore/protocol/WindowInfo.h"

namespace orvane {

// The 39 message kinds of the "control" data channel, in their fixed order.
enum class EventType {
  mouseMoved, mouseDown, mouseUp, mouseDragged, mouseClicked, doubleClick, middleClick, scrolled,
  keyEvent, typeText, volumeUp, volumeDown, mute, brightnessUp, brightnessDown, appSwitchGesture,
  resizeWindow, moveWindow, minimizeWindow, zoomWindow, closeWindow, titleBarZoom, toggleFullScreen,
  enlargeWindow, shrinkWindow, requestWindowList, switchToWindow, setVideoQuality, padScreenInfo,
  launchApp, searchApps, textFieldFocused, windowList, appSuggestions, screenInfo, windowFocused,
  localControlActive, captureStalled, peerVersion,
};
inline constexpr std::size_t kEventTypeCount = 39;

enum class MouseButton { left, right, middle };
enum class ModifierKey { cmd, shift, alt, ctrl };
enum class VideoQuality { high, low };

// Wire strings; parsing is exact and case-sensitive.
std::string_view toString(EventType type);
std::string_view toString(MouseButton button);
std::string_view toString(ModifierKey key);
std::string_view toString(VideoQuality quality);
std::optional<EventType> eventTypeFromString(std::string_view text);
std::optional<MouseButton> mouseButtonFromString(std::string_view text);
std::optional<ModifierKey> modifierKeyFromString(std::string_view text);
std::optional<VideoQuality> videoQualityFromString(std::string_view text);
// Every EventType in declaration order.
const std::array<EventType, kEventTypeCount>& allEventTypes();

// Payloads, one struct per case. Pointer x/y are fractions of the streamed
// display; moveWindow/resizeWindow carry integer points.
namespace events {
#define ORVANE_EMPTY_EVENT(Name) \
  struct Name {                  \
    bool operator==(const Name&) const = default; \
  }
struct MouseMoved { double x = 0, y = 0; bool operator==(const MouseMoved&) const = default; };
struct MouseDown { MouseButton button{}; double x = 0, y = 0; bool operator==(const MouseDown&) const = default; };
struct MouseUp { MouseButton button{}; double x = 0, y = 0; bool operator==(const MouseUp&) const = default; };
struct MouseDragged { MouseButton button{}; double x = 0, y = 0; bool operator==(const MouseDragged&) const = default; };
struct MouseClicked { MouseButton button{}; double x = 0, y = 0; bool operator==(const MouseClicked&) const = default; };
struct DoubleClick { MouseButton button{}; double x = 0, y = 0; bool operator==(const DoubleClick&) const = default; };
struct MiddleClick { double x = 0, y = 0; bool operator==(const MiddleClick&) const = default; };
struct Scrolled { double deltaX = 0, deltaY = 0; bool operator==(const Scrolled&) const = default; };
struct KeyEvent {
  std::int64_t keyCode = 0;  // a macOS virtual key code
  std::vector<ModifierKey> modifiers;  // as sent, duplicates kept
  bool isDown = false;
  bool operator==(const KeyEvent&) const = default;
};
struct TypeText { std::string text; bool operator==(const TypeText&) const = default; };
ORVANE_EMPTY_EVENT(VolumeUp);
ORVANE_EMPTY_EVENT(VolumeDown);
ORVANE_EMPTY_EVENT(Mute);
ORVANE_EMPTY_EVENT(BrightnessUp);
ORVANE_EMPTY_EVENT(BrightnessDown);
ORVANE_EMPTY_EVENT(AppSwitchGesture);
struct ResizeWindow { std::int64_t width = 0, height = 0; bool operator==(const ResizeWindow&) const = default; };
struct MoveWindow { std::int64_t x = 0, y = 0; bool operator==(const MoveWindow&) const = default; };
ORVANE_EMPTY_EVENT(MinimizeWindow);
ORVANE_EMPTY_EVENT(ZoomWindow);
ORVANE_EMPTY_EVENT(CloseWindow);
ORVANE_EMPTY_EVENT(TitleBarZoom);
ORVANE_EMPTY_EVENT(ToggleFullScreen);
ORVANE_EMPTY_EVENT(EnlargeWindow);
ORVANE_EMPTY_EVENT(ShrinkWindow);
ORVANE_EMPTY_EVENT(RequestWindowList);
struct SwitchToWindow { std::string windowID; bool operator==(const SwitchToWindow&) const = default; };
struct SetVideoQuality { VideoQuality quality{}; bool operator==(const SetVideoQuality&) const = default; };
struct PadScreenInfo { std::int64_t width = 0, height = 0; bool operator==(const PadScreenInfo&) const = default; };
struct LaunchApp { std::string text; bool operator==(const LaunchApp&) const = default; };
struct SearchApps { std::string text; bool operator==(const SearchApps&) const = default; };
struct TextFieldFocused { bool focused = false; bool operator==(const TextFieldFocused&) const = default; };
struct WindowList { std::vector<WindowInfo> windows; bool operator==(const WindowList&) const = default; };
struct AppSuggestions {
  std::string text;  // the query exactly as received
  std::vector<std::string> names;
  bool operator==(const AppSuggestions&) const = default;
};
struct ScreenInfo {
  std::int64_t width = 0, height = 0;
  double scaleFactor = 1.0;
  bool operator==(const ScreenInfo&) const = default;
};
struct WindowFocused { std::string title, appName; bool operator==(const WindowFocused&) const = default; };
struct LocalControlActive { bool active = false; bool operator==(const LocalControlActive&) const = default; };
struct CaptureStalled { bool active = false; bool operator==(const CaptureStalled&) const = default; };
struct PeerVersion { std::int64_t build = 0; std::string marketing; bool operator==(const PeerVersion&) const = default; };
#undef ORVANE_EMPTY_EVENT
}  // namespace events

// The one message of the "control" channel: a closed sum of the cases above,
// whose variant index is its EventType.
class ControlEvent {
 public:
  using Payload = std::variant<
      events::MouseMoved, events::MouseDown, events::MouseUp, events::MouseDragged, events::MouseClicked,
      events::DoubleClick, events::MiddleClick, events::Scrolled, events::KeyEvent, events::TypeText,
      events::VolumeUp, events::VolumeDown, events::Mute, events::BrightnessUp, events::BrightnessDown,
      events::AppSwitchGesture, events::ResizeWindow, events::MoveWindow, events::MinimizeWindow,
      events::ZoomWindow, events::CloseWindow, events::TitleBarZoom, events::ToggleFullScreen,
      events::EnlargeWindow, events::ShrinkWindow, events::RequestWindowList, events::SwitchToWindow,
      events::SetVideoQuality, events::PadScreenInfo, events::LaunchApp, events::SearchApps,
      events::TextFieldFocused, events::WindowList, events::AppSuggestions, events::ScreenInfo,
      events::WindowFocused, events::LocalControlActive, events::CaptureStalled, events::PeerVersion>;
  static_assert(std::variant_size_v<Payload> == kEventTypeCount);

  template <typename Case>
    requires std::is_constructible_v<Payload, Case&&>
  ControlEvent(Case&& payload) : payload_(std::forward<Case>(payload)) {}  // NOLINT: any case converts

  EventType type() const { return static_cast<EventType>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  template <typename Case>
  const Case* get() const {
    return std::get_if<Case>(&payload_);
  }

  // A mouseUp, or a keyEvent whose isDown is false: the only input still
  // injected while the local user has control.
  bool isRelease() const;

  bool operator==(const ControlEvent&) const = default;

 private:
  Payload payload_;
};

// Compact JSON: "type" first, then the case's members in their fixed order.
// Nothing when a Double member is not finite (JSON cannot carry it).
std::optional<std::string> encodeControlEvent(const ControlEvent& event);

// Strict decoding of one message; any deviation rejects the whole message.
DecodeResult<ControlEvent> decodeControlEvent(std::string_view json);

}  // namespace orvane
