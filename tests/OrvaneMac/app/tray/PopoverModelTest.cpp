#include <gtest/gtest.h>

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

const std::string kFooter = "footer secondary Orvane 0.1.0 (1)";
const std::string kAbout = "link [About Orvane:about]";

struct Case {
  const char* name;
  PopoverSnapshot snapshot;
  Lines rows;
};

// Every state, top to bottom, as the user sees it.
TEST(PopoverModelTest, RowsForEveryState) {
  PopoverSnapshot missingBoth = ready(ConnectionState::idle());
  missingBoth.accessibilityGranted = missingBoth.screenRecordingGranted = false;
  PopoverSnapshot restart = ready(ConnectionState::idle());
  restart.screenRecordingGranted = false;
  restart.screenRecordingNeedsRelaunch = true;
  restart.explanation = "Screen capture needs to read the screen.";

  const std::vector<Case> cases = {
      {"idle",
       ready(ConnectionState::idle()),
       {"header computer-symbolic gray Sharing stopped", "divider", "buttons [Start Sharing:startSharing] [Quit:quit]",
        kAbout, kFooter}},
      {"available",
       ready(ConnectionState::available()),
       {"header computer-symbolic green Waiting to connect…", "hint secondary Open Orvane on your tablet to connect.",
        "divider", "buttons [Stop:stopSharing] [Quit:quit]", kAbout, kFooter}},
      {"waitingForPad",
       ready(ConnectionState::waitingForPad()),
       {"header computer-symbolic yellow Tablet is connecting…", "divider", "buttons [Stop:stopSharing] [Quit:quit]",
        kAbout, kFooter}},
      {"connected",
       ready(ConnectionState::connected()),
       {"header computer-symbolic blue Connected", "divider",
        "buttons [Stop Remote Control:stopInjection process-stop-symbolic red]",
        "buttons [Stop:stopSharing] [Quit:quit]", kAbout, kFooter}},
      {"connected, injection stopped",
       ready(ConnectionState::connected(), true),
       {"header computer-symbolic blue Connected", "divider",
        "buttons [Resume Remote Control:resumeInjection media-playback-start-symbolic green]",
        "buttons [Stop:stopSharing] [Quit:quit]", kAbout, kFooter}},
      {"failed",
       ready(ConnectionState::failed("The offer failed")),
       {"header dialog-warning-symbolic red Error: The offer failed", "divider",
        "buttons [Start Sharing:startSharing] [Quit:quit]", kAbout, kFooter}},
      {"sign in required",
       ready(ConnectionState::failed("Sign in required")),
       {"header dialog-warning-symbolic red Error: Sign in required",
        "signIn Paste an invite (token or pad link) [Sign In:signIn]", "divider",
        "buttons [Start Sharing:startSharing] [Quit:quit]", kAbout, kFooter}},
      {"sign in failed",
       ready(ConnectionState::failed("Sign in failed: HTTP 401")),
       {"header dialog-warning-symbolic red Error: Sign in failed: HTTP 401",
        "signIn Paste an invite (token or pad link) [Sign In:signIn]", "divider",
        "buttons [Start Sharing:startSharing] [Quit:quit]", kAbout, kFooter}},
      {"both permissions missing",
       missingBoth,
       {"header computer-symbolic gray Sharing stopped", "heading Setup",
        "note secondary Orvane needs these to mirror your screen and control this computer from your tablet.",
        "permission dialog-warning-symbolic yellow Accessibility [Grant:grantAccessibility]",
        "permission dialog-warning-symbolic yellow Screen Recording [Grant:grantScreenRecording]", "divider",
        "buttons [Start Sharing:startSharing] [Quit:quit]", kAbout, kFooter}},
      {"screen recording waits for a restart",
       restart,
       {"header computer-symbolic gray Sharing stopped", "heading Setup",
        "note secondary Orvane needs these to mirror your screen and control this computer from your tablet.",
        "permission emblem-ok-symbolic green Accessibility",
        "permission dialog-warning-symbolic yellow Screen Recording [Restart to apply:relaunch]",
        "explanation secondary Screen capture needs to read the screen.", "divider",
        "buttons [Start Sharing:startSharing] [Quit:quit]", kAbout, kFooter}},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(popoverContent(c.snapshot)), c.rows) << c.name;
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
