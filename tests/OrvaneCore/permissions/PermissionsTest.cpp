#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OrvaneCore/permissions/PermissionsController.h"

namespace orvane {
namespace {

TEST(PermissionsModelTest, FlagsAndReadiness) {
  PermissionsModel model;
  int changes = 0;
  model.onChange = [&] { ++changes; };
  model.apply(true, false);
  EXPECT_FALSE(model.allReady());
  model.markScreenRecordingRelaunchNeeded();
  model.apply(true, false);
  EXPECT_TRUE(model.screenRecordingNeedsRelaunch()) << "a denial keeps the pending restart";
  model.apply(false, true);
  EXPECT_FALSE(model.screenRecordingNeedsRelaunch());
  EXPECT_FALSE(model.allReady());
  model.markScreenRecordingRelaunchNeeded();
  EXPECT_FALSE(model.screenRecordingNeedsRelaunch()) << "nothing to restart for once granted";
  model.apply(true, true);
  EXPECT_TRUE(model.allReady());
  EXPECT_EQ(changes, 4);
}

struct FakePermissionsPort : PermissionsPort {
  bool accessibility = false;
  bool screenRecording = false;
  std::vector<std::string> calls;

  bool accessibilityTrusted() const override { return accessibility; }
  bool screenRecordingAllowed() const override { return screenRecording; }
  void requestAccessibility() override { calls.push_back("requestAccessibility"); }
  void requestScreenRecording() override { calls.push_back("requestScreenRecording"); }
  void openSettingsLink(std::string_view link) override { calls.emplace_back(link); }
  void relaunch() override { calls.push_back("relaunch"); }
};

TEST(PermissionsControllerTest, ScreenRecordingRequestsOnceThenRestarts) {
  PermissionsModel model;
  FakePermissionsPort port;
  PermissionsController controller{model, port};
  controller.requestScreenRecording();
  EXPECT_EQ(port.calls, (std::vector<std::string>{"requestScreenRecording", std::string(kScreenRecordingSettingsLink)}));
  port.calls.clear();
  controller.requestScreenRecording();
  EXPECT_EQ(port.calls, std::vector<std::string>{"relaunch"});

  // The restarted host sees the grant on its first refresh.
  port.screenRecording = port.accessibility = true;
  controller.refresh();
  EXPECT_FALSE(model.screenRecordingNeedsRelaunch());
  EXPECT_TRUE(model.allReady());
}

}  // namespace
}  // namespace orvane
