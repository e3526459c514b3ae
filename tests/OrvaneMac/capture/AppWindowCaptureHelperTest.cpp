// The window list sent to the tablet: which windows qualify, in what order, and the candidate lines logged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/capture/AppWindowCaptureHelper.h"
#include "OrvaneMac/platform/sim/SimCapture.h"
#include "tests/support/Await.h"

namespace orvane {
namespace {

using Strings = std::vector<std::string>;

ShareableApplication app(std::string name, std::string bundleId, std::int32_t pid = 100) {
  return ShareableApplication{pid, std::move(name), std::move(bundleId)};
}

class WindowListTest : public ::testing::Test {
 protected:
  std::vector<WindowInfo> list() { return test::await(exec, helper.listWindows()); }
  Strings ids(const std::vector<WindowInfo>& windows) {
    Strings result;
    for (const auto& w : windows) result.push_back(w.id);
    return result;
  }

  ManualExecutor exec;
  SimCapture sim{exec};
  CapturingLogSink logs;
  AppWindowCaptureHelper helper{sim, logs};
};

TEST_F(WindowListTest, ListsOrdinaryWindowsInPlatformOrderAndLogsEveryCandidate) {
  sim.addWindow(4294967295u, app("Safari", "com.apple.Safari"), Rect(10, 20, 800.9, 600.2), "Start Page");
  sim.addWindow(7, app("Menu Bar", "com.apple.systemuiserver"), Rect(0, 0, 1440, 24), "").windowLayer = 25;
  sim.addWindow(8, app("Terminal", "com.apple.Terminal"), Rect(0, 0, 120, 120));
  sim.addWindow(9, app("Notes", "com.apple.Notes"), Rect(0, 0, 500, 400), "");

  const auto windows = list();
  EXPECT_EQ(windows, (std::vector<WindowInfo>{{"4294967295", "Safari", "Start Page", std::nullopt},
                                              {"8", "Terminal", "Terminal", std::nullopt},
                                              {"9", "Notes", "Notes", std::nullopt}}));
  EXPECT_EQ(logs.lines(), (Strings{
                              "[WindowList] cand app=Safari layer=0 onScreen=true size=800x600 title=\"Start Page\"",
                              "[WindowList] cand app=Menu Bar layer=25 onScreen=true size=1440x24 title=\"\"",
                              "[WindowList] cand app=Terminal layer=0 onScreen=true size=120x120 title=\"\"",
                              "[WindowList] cand app=Notes layer=0 onScreen=true size=500x400 title=\"\"",
                          }));
  EXPECT_TRUE(logs.records().empty());
  EXPECT_EQ(sim.contentQueries, (std::vector<std::pair<bool, bool>>{{false, true}}));
}

TEST_F(WindowListTest, DropsSmallOwnerlessNamelessAndSystemSurfaceWindows) {
  sim.addWindow(1, app("Narrow", "org.example.narrow"), Rect(0, 0, 119, 500));
  sim.addWindow(2, app("Short", "org.example.short"), Rect(0, 0, 500, 119.9));
  sim.addWindow(3, app("Dock", "com.apple.dock"), Rect(0, 0, 1440, 900));
  sim.addWindow(4, app("Control Centre", "com.apple.controlcenter.helper"), Rect(0, 0, 400, 400));
  sim.addWindow(5, app("Notifications", "com.apple.notificationcenterui"), Rect(0, 0, 400, 400));
  sim.addWindow(6, app("Stage", "com.apple.WindowManager"), Rect(0, 0, 400, 400));
  sim.addWindow(7, app("", "org.example.blank"), Rect(0, 0, 400, 400));
  sim.addWindow(8, app("Kept", "com.apple.Dictionary"), Rect(0, 0, 400, 400));
  sim.addWindow(9, app("Overlay", "org.example.overlay"), Rect(0, 0, 400, 400)).windowLayer = -1;
  sim.addWindow(10, app("Flipped", "org.example.flipped"), Rect(400, 400, -400, -400));
  ShareableWindow ownerless;
  ownerless.windowID = 11;
  ownerless.frame = Rect(0, 0, 400, 400);
  ownerless.title = "Desktop";
  sim.content.windows.push_back(ownerless);

  EXPECT_EQ(ids(list()), (Strings{"8", "10"}));
  ASSERT_EQ(logs.lines().size(), 11u);
  EXPECT_EQ(logs.lines()[1], "[WindowList] cand app=Short layer=0 onScreen=true size=500x119 title=\"\"");
  EXPECT_EQ(logs.lines()[10], "[WindowList] cand app=nil layer=0 onScreen=true size=400x400 title=\"Desktop\"");
}

TEST_F(WindowListTest, OffScreenWindowsAreNeverAccepted) {
  ShareableWindow hidden;
  hidden.frame = Rect(0, 0, 800, 600);
  hidden.owningApplication = app("Mail", "com.apple.mail");
  EXPECT_TRUE(AppWindowCaptureHelper::accepts(hidden));
  hidden.isOnScreen = false;
  EXPECT_FALSE(AppWindowCaptureHelper::accepts(hidden));
  EXPECT_EQ(AppWindowCaptureHelper::candidateLine(hidden),
            "[WindowList] cand app=Mail layer=0 onScreen=false size=800x600 title=\"\"");
}

TEST_F(WindowListTest, UnreadableContentGivesAnEmptyListQuietly) {
  sim.addWindow(1, app("Safari", "com.apple.Safari"), Rect(0, 0, 800, 600));
  sim.contentFailure = "not permitted";
  EXPECT_TRUE(list().empty());
  EXPECT_TRUE(logs.lines().empty());
  EXPECT_TRUE(logs.records().empty());
}

}  // namespace
}  // namespace orvane
