#include "OrvaneMac/app/tray/PopoverModel.h"

#include <algorithm>

namespace orvane {

namespace {

namespace text = popover_text;
using Kind = PopoverRow::Kind;

constexpr std::string_view kStateIcon = "computer-symbolic";
constexpr std::string_view kWarningIcon = "dialog-warning-symbolic";
constexpr std::string_view kGrantedIcon = "emblem-ok-symbolic";
constexpr std::string_view kStopInjectionIcon = "process-stop-symbolic";
constexpr std::string_view kResumeInjectionIcon = "media-playback-start-symbolic";

PopoverRow row(Kind kind, std::string_view text = {}, std::string_view icon = {}, Tint tint = Tint::label) {
  return PopoverRow{kind, std::string(text), std::string(icon), tint, {}};
}

PopoverButton button(std::string_view label, PopoverAction action, std::string_view icon = {},
                     Tint tint = Tint::label) {
  return PopoverButton{std::string(label), action, std::string(icon), tint};
}

PopoverRow permissionRow(std::string_view name, bool granted, PopoverButton grant) {
  PopoverRow permission =
      row(Kind::permission, name, granted ? kGrantedIcon : kWarningIcon, granted ? Tint::green : Tint::yellow);
  if (!granted) permission.buttons.push_back(std::move(grant));
  return permission;
}

void addSetup(const PopoverSnapshot& s, std::vector<PopoverRow>& rows) {
  rows.push_back(row(Kind::heading, text::kSetup));
  rows.push_back(row(Kind::note, text::kSetupNote, {}, Tint::secondary));
  rows.push_back(permissionRow(text::kAccessibility, s.accessibilityGranted,
                               button(text::kGrant, PopoverAction::grantAccessibility)));
  rows.push_back(permissionRow(text::kScreenRecording, s.screenRecordingGranted,
                               s.screenRecordingNeedsRelaunch
                                   ? button(text::kRestartToApply, PopoverAction::relaunch)
                                   : button(text::kGrant, PopoverAction::grantScreenRecording)));
  if (!s.explanation.empty()) rows.push_back(row(Kind::explanation, s.explanation, {}, Tint::secondary));
}

}  // namespace

Rgb rgbOf(Tint tint) {
  switch (tint) {
    case Tint::gray:
      return {142, 142, 147};
    case Tint::green:
      return {52, 199, 89};
    case Tint::yellow:
      return {255, 204, 0};
    case Tint::blue:
      return {0, 122, 255};
    case Tint::red:
      return {255, 59, 48};
    case Tint::white:
      return {255, 255, 255};
    case Tint::black:
    case Tint::label:
    case Tint::secondary:
      break;
  }
  return {0, 0, 0};
}

std::string_view toString(Tint tint) {
  switch (tint) {
    case Tint::label:
      return "label";
    case Tint::secondary:
      return "secondary";
    case Tint::gray:
      return "gray";
    case Tint::green:
      return "green";
    case Tint::yellow:
      return "yellow";
    case Tint::blue:
      return "blue";
    case Tint::red:
      return "red";
    case Tint::black:
      return "black";
    case Tint::white:
      return "white";
  }
  return "?";
}

std::string_view toString(PopoverAction action) {
  switch (action) {
    case PopoverAction::grantAccessibility:
      return "grantAccessibility";
    case PopoverAction::grantScreenRecording:
      return "grantScreenRecording";
    case PopoverAction::relaunch:
      return "relaunch";
    case PopoverAction::stopInjection:
      return "stopInjection";
    case PopoverAction::resumeInjection:
      return "resumeInjection";
    case PopoverAction::stopSharing:
      return "stopSharing";
    case PopoverAction::startSharing:
      return "startSharing";
    case PopoverAction::signIn:
      return "signIn";
    case PopoverAction::quit:
      return "quit";
    case PopoverAction::about:
      return "about";
    case PopoverAction::open:
      return "open";
  }
  return "?";
}

std::string_view toString(PopoverRow::Kind kind) {
  switch (kind) {
    case Kind::header:
      return "header";
    case Kind::hint:
      return "hint";
    case Kind::heading:
      return "heading";
    case Kind::note:
      return "note";
    case Kind::permission:
      return "permission";
    case Kind::explanation:
      return "explanation";
    case Kind::signIn:
      return "signIn";
    case Kind::divider:
      return "divider";
    case Kind::buttons:
      return "buttons";
    case Kind::link:
      return "link";
    case Kind::footer:
      return "footer";
  }
  return "?";
}

std::string statusText(const ConnectionState& state) {
  switch (state.kind) {
    case ConnectionState::Kind::idle:
      return std::string(text::kIdle);
    case ConnectionState::Kind::available:
      return std::string(text::kAvailable);
    case ConnectionState::Kind::waitingForPad:
      return std::string(text::kWaitingForPad);
    case ConnectionState::Kind::connected:
      return std::string(text::kConnected);
    case ConnectionState::Kind::failed:
      return std::string(text::kErrorPrefix) + state.message;
  }
  return {};
}

Tint stateTint(ConnectionState::Kind kind) {
  switch (kind) {
    case ConnectionState::Kind::idle:
      return Tint::gray;
    case ConnectionState::Kind::available:
      return Tint::green;
    case ConnectionState::Kind::waitingForPad:
      return Tint::yellow;
    case ConnectionState::Kind::connected:
      return Tint::blue;
    case ConnectionState::Kind::failed:
      return Tint::red;
  }
  return Tint::gray;
}

Tint trayIconTint(ConnectionState::Kind kind, bool darkPanel) {
  if (kind == ConnectionState::Kind::idle) return darkPanel ? Tint::white : Tint::black;
  return stateTint(kind);
}

bool needsSignIn(const ConnectionState& state) {
  return state.is(ConnectionState::Kind::failed) &&
         (state.message == text::kSignInRequired || state.message.starts_with(text::kSignInFailedPrefix));
}

PopoverContent popoverContent(const PopoverSnapshot& s) {
  using State = ConnectionState::Kind;
  const State state = s.state.kind;
  std::vector<PopoverRow> rows;

  rows.push_back(
      row(Kind::header, statusText(s.state), state == State::failed ? kWarningIcon : kStateIcon, stateTint(state)));
  if (state == State::available) rows.push_back(row(Kind::hint, text::kAvailableHint, {}, Tint::secondary));
  if (!(s.accessibilityGranted && s.screenRecordingGranted)) addSetup(s, rows);
  if (needsSignIn(s.state)) {
    PopoverRow signIn = row(Kind::signIn, text::kSignInPlaceholder);
    signIn.buttons.push_back(button(text::kSignIn, PopoverAction::signIn));
    rows.push_back(std::move(signIn));
  }
  rows.push_back(row(Kind::divider));

  if (state == State::connected) {
    PopoverRow emergency = row(Kind::buttons);
    emergency.buttons.push_back(
        s.injectionDisabled
            ? button(text::kResumeRemoteControl, PopoverAction::resumeInjection, kResumeInjectionIcon, Tint::green)
            : button(text::kStopRemoteControl, PopoverAction::stopInjection, kStopInjectionIcon, Tint::red));
    rows.push_back(std::move(emergency));
  }

  PopoverRow sharing = row(Kind::buttons);
  const bool sharingRuns = state == State::available || state == State::waitingForPad || state == State::connected;
  sharing.buttons.push_back(sharingRuns ? button(text::kStop, PopoverAction::stopSharing)
                                        : button(text::kStartSharing, PopoverAction::startSharing));
  sharing.buttons.push_back(button(text::kQuit, PopoverAction::quit));
  rows.push_back(std::move(sharing));

  PopoverRow about = row(Kind::link);
  about.buttons.push_back(button(text::kAbout, PopoverAction::about));
  rows.push_back(std::move(about));
  rows.push_back(row(Kind::footer, "Orvane " + s.version, {}, Tint::secondary));
  return PopoverContent{std::move(rows)};
}

std::vector<TrayMenuItem> trayMenu(const PopoverContent& content) {
  std::vector<TrayMenuItem> items;
  for (const PopoverRow& r : content.rows) {
    if (r.kind == Kind::header) {
      items.push_back(TrayMenuItem{r.text, std::nullopt, false});
      items.push_back(TrayMenuItem{std::string(kOpenMenuLabel), PopoverAction::open});
    } else if (r.kind == Kind::divider) {
      items.push_back(TrayMenuItem{});
    } else if (r.kind == Kind::buttons || r.kind == Kind::link) {
      for (const PopoverButton& b : r.buttons) items.push_back(TrayMenuItem{b.label, b.action});
    }
  }
  return items;
}

std::string describe(const PopoverRow& r) {
  std::string line(toString(r.kind));
  if (!r.icon.empty()) line += " " + r.icon;
  if (r.tint != Tint::label) line += " " + std::string(toString(r.tint));
  if (!r.text.empty()) line += " " + r.text;
  for (const PopoverButton& b : r.buttons) {
    line += " [" + b.label + ":" + std::string(toString(b.action));
    if (!b.icon.empty()) line += " " + b.icon;
    if (b.tint != Tint::label) line += " " + std::string(toString(b.tint));
    line += "]";
  }
  return line;
}

std::vector<std::string> describe(const PopoverContent& content) {
  std::vector<std::string> lines;
  for (const PopoverRow& r : content.rows) lines.push_back(describe(r));
  return lines;
}

PixelRect placePopover(int x, int y, int width, int height, const PixelRect& area) {
  const int below = y;
  const int above = y - height;
  int top = below + height <= area.y + area.height || above < area.y ? below : above;
  int left = x - width / 2;
  // Larger than the area: its top-left corner stays visible.
  left = std::max(area.x, std::min(left, area.x + area.width - width));
  top = std::max(area.y, std::min(top, area.y + area.height - height));
  return PixelRect{left, top, width, height};
}

}  // namespace orvane
