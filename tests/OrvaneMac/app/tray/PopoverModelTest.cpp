#include <gtest/gtest.h>

#include <tuple>

#include "OrvaneMac/app/tray/PopoverModel.h"
#include "OrvaneMac/app/tray/TrayIcon.h"

namespace orvane::test {
namespace {

using Lines = std::vector<std::string>;

PopoverSnapshot ready(ConnectionState state, bool injectionDisabled = false) {
  PopoverSnapshot s;
  s.state = std::move(state);
  s.injectionDisabled = injectionDisabled;
  s.accessibilityGranted = true;
  s.screenRecordingGranted = true;
  s.version = "0.1.0 (1)";
  return s;
}

// The rows of a state: its own, then the divider, `actions` and the common footer.
Lines rows(Lines head, Lines actions) {
  head.push_back("divider");
  head.insert(head.end(), actions.begin(), actions.end());
  head.insert(head.end(), {"link [About Orvane:about]", "footer secondary Orvane 0.1.0 (1)"});
  return head;
}

// Every state, top to bottom, as the user sees it.
TEST(PopoverModelTest, RowsForEveryState) {
  PopoverSnapshot missingBoth = ready(ConnectionState::idle());
  missingBoth.accessibilityGranted = missingBoth.screenRecordingGranted = false;
  PopoverSnapshot restart = ready(ConnectionState::idle());
  restart.screenRecordingGranted = false;
  restart.screenRecordingNeedsRelaunch = true;
  restart.explanation = "Screen capture needs to read the screen.";
  const std::string start = "buttons [Start Sharing:startSharing] [Quit:quit]";
  const std::string stop = "buttons [Stop:stopSharing] [Quit:quit]";
  const std::string stopped = "header computer-symbolic gray Sharing stopped";
  const std::string setup =
      "note secondary Orvane needs these to mirror your screen and control this computer from your tablet.";
  const std::string signIn = "signIn Paste an invite (token or pad link) [Sign In:signIn]";

  const std::vector<std::tuple<const char*, PopoverSnapshot, Lines>> cases = {
      {"idle", ready(ConnectionState::idle()), rows({stopped}, {start})},
      {"available", ready(ConnectionState::available()),
       rows({"header computer-symbolic green Waiting to connect…",
             "hint secondary Open Orvane on your tablet to connect."},
            {stop})},
      {"waitingForPad", ready(ConnectionState::waitingForPad()),
       rows({"header computer-symbolic yellow Tablet is connecting…"}, {stop})},
      {"connected", ready(ConnectionState::connected()),
       rows({"header computer-symbolic blue Connected"},
            {"buttons [Stop Remote Control:stopInjection process-stop-symbolic red]", stop})},
      {"connected, injection stopped", ready(ConnectionState::connected(), true),
       rows({"header computer-symbolic blue Connected"},
            {"buttons [Resume Remote Control:resumeInjection media-playback-start-symbolic green]", stop})},
      {"failed", ready(ConnectionState::failed("The offer failed")),
       rows({"header dialog-warning-symbolic red Error: The offer failed"}, {start})},
      {"sign in required", ready(ConnectionState::failed("Sign in required")),
       rows({"header dialog-warning-symbolic red Error: Sign in required", signIn}, {start})},
      {"sign in failed", ready(ConnectionState::failed("Sign in failed: HTTP 401")),
       rows({"header dialog-warning-symbolic red Error: Sign in failed: HTTP 401", signIn}, {start})},
      {"both permissions missing", missingBoth,
       rows({stopped, "heading Setup", setup,
             "permission dialog-warning-symbolic yellow Accessibility [Grant:grantAccessibility]",
             "permission dialog-warning-symbolic yellow Screen Recording [Grant:grantScreenRecording]"},
            {start})},
      {"screen recording waits for a restart", restart,
       rows({stopped, "heading Setup", setup, "permission emblem-ok-symbolic green Accessibility",
             "permission dialog-warning-symbolic yellow Screen Recording [Restart to apply:relaunch]",
             "explanation secondary Screen capture needs to read the screen."},
            {start})},
  };
  for (const auto& [name, snapshot, expected] : cases) EXPECT_EQ(describe(popoverContent(snapshot)), expected) << name;
}

TEST(PopoverModelTest, TrayIconColourFollowsStateAndIdleFollowsPanel) {
  using K = ConnectionState::Kind;
  EXPECT_EQ(trayIconTint(K::idle, false), Tint::black);
  EXPECT_EQ(trayIconTint(K::idle, true), Tint::white);
  for (bool dark : {false, true}) {
    EXPECT_EQ(trayIconTint(K::available, dark), Tint::green);
    EXPECT_EQ(trayIconTint(K::waitingForPad, dark), Tint::yellow);
    EXPECT_EQ(trayIconTint(K::connected, dark), Tint::blue);
    EXPECT_EQ(trayIconTint(K::failed, dark), Tint::red);
  }
}

// Hosts that only show the menu get the status and the plain actions; grants
// and sign-in go through the popover.
TEST(PopoverModelTest, TrayMenuMirrorsThePopoversButtons) {
  PopoverSnapshot s = ready(ConnectionState::failed("Sign in required"));
  s.accessibilityGranted = false;
  std::vector<TrayMenuItem> expected = {
      {"Error: Sign in required", std::nullopt, false},
      {"Open Orvane…", PopoverAction::open},
      {},
      {"Start Sharing", PopoverAction::startSharing},
      {"Quit", PopoverAction::quit},
      {"About Orvane", PopoverAction::about},
  };
  EXPECT_EQ(trayMenu(popoverContent(s)), expected);
}

TEST(PopoverModelTest, PlacementStaysOnTheWorkArea) {
  const PixelRect area{0, 30, 1920, 1050};  // a top panel of 30 px
  EXPECT_EQ(placePopover(1000, 30, 260, 300, area), (PixelRect{870, 30, 260, 300})) << "under a top panel";
  EXPECT_EQ(placePopover(1910, 30, 260, 300, area), (PixelRect{1660, 30, 260, 300})) << "right edge";
  EXPECT_EQ(placePopover(5, 30, 260, 300, area), (PixelRect{0, 30, 260, 300})) << "left edge";
  EXPECT_EQ(placePopover(1000, 1075, 260, 300, area), (PixelRect{870, 775, 260, 300})) << "above a bottom panel";
  EXPECT_EQ(placePopover(1000, 200, 260, 2000, area), (PixelRect{870, 30, 260, 2000})) << "taller than the screen";
}

// ARGB32 in network byte order, not premultiplied: the screen's middle is the
// colour itself, the corners are clear.
TEST(PopoverModelTest, TrayIconPixmapIsOpaqueColourOnClear) {
  for (int size : {22, 44}) {
    const IconPixmap icon = drawTrayIcon(size, rgbOf(Tint::blue));
    ASSERT_EQ(icon.argb.size(), static_cast<std::size_t>(size * size * 4));
    EXPECT_EQ(pixelAt(icon, size * 3 / 10, size * 3 / 10), 0xff007affu) << size;
    EXPECT_EQ(pixelAt(icon, 0, size - 1) >> 24, 0u) << size;
    EXPECT_EQ(pixelAt(icon, size - 1, 0) >> 24, 0u) << size;
  }
}

}  // namespace
}  // namespace orvane::test
