#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneMac/session/ConnectionState.h"

namespace orvane {

// The colours the tray and the popover speak in. `label` is the text colour
// of the theme; `secondary` its dimmed form.
enum class Tint { label, secondary, gray, green, yellow, blue, red, black, white };

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// The fixed colours; `label` and `secondary` follow the theme and have none.
Rgb rgbOf(Tint tint);
std::string_view toString(Tint tint);

// What a button of the popover (or an item of the tray menu) does.
enum class PopoverAction {
  grantAccessibility,
  grantScreenRecording,
  relaunch,
  stopInjection,
  resumeInjection,
  stopSharing,
  startSharing,
  signIn,
  quit,
  about,
  open,  // the tray menu's way to the popover, for hosts that only show menus
};
std::string_view toString(PopoverAction action);

struct PopoverButton {
  std::string label;
  PopoverAction action;
  std::string icon;  // theme icon name; empty for text only
  Tint tint = Tint::label;
  bool operator==(const PopoverButton&) const = default;
};

// One row of the popover, top to bottom.
struct PopoverRow {
  enum class Kind {
    header,       // icon + status text
    hint,         // small secondary text
    heading,      // "Setup"
    note,         // the setup explanation
    permission,   // icon + name, optionally one button
    explanation,  // what is missing, once the user asked
    signIn,       // text field (text = placeholder) + button
    divider,
    buttons,  // a row of buttons side by side
    link,     // a borderless button
    footer,   // small secondary text
  };
  Kind kind = Kind::divider;
  std::string text;
  std::string icon;
  Tint tint = Tint::label;
  std::vector<PopoverButton> buttons;
  bool operator==(const PopoverRow&) const = default;
};
std::string_view toString(PopoverRow::Kind kind);

// Everything the popover is rendered from.
struct PopoverSnapshot {
  ConnectionState state;
  bool injectionDisabled = false;
  bool accessibilityGranted = false;
  bool screenRecordingGranted = false;
  bool screenRecordingNeedsRelaunch = false;
  std::string version;      // AppVersion display: "0.1.0 (1)"
  std::string explanation;  // what is missing; shown when not empty
};

struct PopoverContent {
  std::vector<PopoverRow> rows;
  bool operator==(const PopoverContent&) const = default;
};

// The popover's user-visible words, adapted to a computer controlled from a tablet.
namespace popover_text {
inline constexpr std::string_view kIdle = "Sharing stopped";
inline constexpr std::string_view kAvailable = "Waiting to connect…";
inline constexpr std::string_view kWaitingForPad = "Tablet is connecting…";
inline constexpr std::string_view kConnected = "Connected";
inline constexpr std::string_view kErrorPrefix = "Error: ";
inline constexpr std::string_view kAvailableHint = "Open Orvane on your tablet to connect.";
inline constexpr std::string_view kSetup = "Setup";
inline constexpr std::string_view kSetupNote =
    "Orvane needs these to mirror your screen and control this computer from your tablet.";
inline constexpr std::string_view kAccessibility = "Accessibility";
inline constexpr std::string_view kScreenRecording = "Screen Recording";
inline constexpr std::string_view kGrant = "Grant";
inline constexpr std::string_view kRestartToApply = "Restart to apply";
inline constexpr std::string_view kStopRemoteControl = "Stop Remote Control";
inline constexpr std::string_view kResumeRemoteControl = "Resume Remote Control";
inline constexpr std::string_view kStop = "Stop";
inline constexpr std::string_view kStartSharing = "Start Sharing";
inline constexpr std::string_view kQuit = "Quit";
inline constexpr std::string_view kAbout = "About Orvane";
inline constexpr std::string_view kSignInPlaceholder = "Paste an invite (token or pad link)";
inline constexpr std::string_view kSignIn = "Sign In";
inline constexpr std::string_view kSignInRequired = "Sign in required";
inline constexpr std::string_view kSignInFailedPrefix = "Sign in failed: ";
}  // namespace popover_text

// "Sharing stopped", "Error: <message>", ... : the header and the tooltip.
std::string statusText(const ConnectionState& state);
// The state's colour in the header, and in the tray unless idle.
Tint stateTint(ConnectionState::Kind kind);
// The tray icon's colour; idle follows the panel: white on a dark one.
Tint trayIconTint(ConnectionState::Kind kind, bool darkPanel);
// Sign-in is what failed, so the user can paste an invite right there.
bool needsSignIn(const ConnectionState& state);

PopoverContent popoverContent(const PopoverSnapshot& snapshot);

// The tray item's menu, for hosts that show menus instead of activating the
// item: the status, a way to the popover, then the popover's buttons except
// those that need the popover itself (grants, sign-in).
struct TrayMenuItem {
  std::string label;  // empty for a separator
  std::optional<PopoverAction> action;
  bool enabled = true;
  bool operator==(const TrayMenuItem&) const = default;
};
inline constexpr std::string_view kOpenMenuLabel = "Open Orvane…";
std::vector<TrayMenuItem> trayMenu(const PopoverContent& content);

// "header computer-symbolic green Connected", "buttons [Stop:stopSharing] [Quit:quit]":
// one line per row, for logs and tests.
std::string describe(const PopoverRow& row);
std::vector<std::string> describe(const PopoverContent& content);

// Where a popover of `width` x `height` goes for a click at (x, y): centred
// under the point, above it when there is no room below, kept inside `area`.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PixelRect&) const = default;
};
PixelRect placePopover(int x, int y, int width, int height, const PixelRect& area);

}  // namespace orvane
