#include "OrvaneCore/demo/DemoDesktopModel.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

ControlEvent key(std::int64_t code, bool down = true) { return events::KeyEvent{code, {}, down}; }

struct DemoDesktopModelTest : ::testing::Test {
  DemoDesktopModelTest() { model.onChange = [this] { ++changes; }; }
  DemoDesktopModel model;
  int changes = 0;
};

TEST(DemoAppTest, WindowIDsAndWindowsAgree) {
  for (const auto& w : DemoDesktopModel::windows()) {
    auto app = demoAppForWindowID(w.id);
    ASSERT_TRUE(app) << w.id;
    EXPECT_EQ(w.appName, displayName(*app));
  }
  EXPECT_EQ(demoAppForWindowID("demo-Notes"), std::nullopt);
}

TEST_F(DemoDesktopModelTest, PointerEventsMoveTheCursorAndPressesRipple) {
  model.handle(events::MouseUp{MouseButton::left, 0.5, 0.5});
  model.handle(events::Scrolled{0, 10});
  EXPECT_EQ(changes, 0) << "only the listed events change anything";
  model.handle(events::MouseMoved{0.25, 0.5});
  model.handle(events::MouseDragged{MouseButton::left, 0.3, 0.6});
  EXPECT_EQ(model.cursor(), (Point{0.3, 0.6}));
  model.handle(events::MouseDown{MouseButton::left, 0.1, 0.2});
  model.handle(events::MouseDown{MouseButton::right, 0.1, 0.2});
  EXPECT_EQ(model.ripple(), (DemoRipple{{0.1, 0.2}, 2}));
  EXPECT_EQ(model.cursor(), (Point{0.1, 0.2}));
  EXPECT_EQ(changes, 4);
}

TEST_F(DemoDesktopModelTest, PageKeysScrollWithinLimits) {
  for (int i = 0; i < 6; ++i) model.handle(key(121));
  EXPECT_EQ(model.pageOffset(), 600);
  EXPECT_EQ(changes, 5) << "the clamped sixth page-down changed nothing";
  model.handle(key(116));
  EXPECT_EQ(model.pageOffset(), 480);
  model.handle(key(121, false));
  model.handle(key(125));
  for (int i = 0; i < 5; ++i) model.handle(key(116));
  EXPECT_EQ(model.pageOffset(), 0);
  EXPECT_EQ(changes, 10);
}

TEST_F(DemoDesktopModelTest, TextAndWindowSwitching) {
  model.handle(events::TypeText{"Hello, "});
  model.handle(events::TypeText{"wörld"});
  EXPECT_EQ(model.typedText(), "Hello, wörld");
  model.handle(events::SwitchToWindow{"12345"});
  EXPECT_FALSE(model.completed().contains(DemoScenario::switchApp));
  model.handle(events::SwitchToWindow{"demo-safari"});
  EXPECT_EQ(model.currentApp(), DemoApp::safari);
  EXPECT_EQ(model.completed(), (std::set{DemoScenario::typeText, DemoScenario::switchApp}));
  EXPECT_EQ(changes, 3);
}

TEST_F(DemoDesktopModelTest, WindowScaleIsBounded) {
  model.handle(events::EnlargeWindow{});
  model.handle(events::EnlargeWindow{});
  EXPECT_DOUBLE_EQ(model.focusedWindowScale(), 1.44);
  model.handle(events::EnlargeWindow{});
  EXPECT_EQ(model.focusedWindowScale(), 1.6);
  for (int i = 0; i < 10; ++i) model.handle(events::ShrinkWindow{});
  EXPECT_EQ(model.focusedWindowScale(), 0.6);
}

TEST_F(DemoDesktopModelTest, StepsFollowTheOrderWhateverTheCompletionOrder) {
  model.handle(events::TypeText{"x"});
  EXPECT_EQ(model.currentStep(), DemoScenario::pinchZoom);
  model.markPinchZoom();
  model.markPinchZoom();
  EXPECT_EQ(model.currentStep(), DemoScenario::resizeWindow);
  model.skip(DemoScenario::switchApp);
  model.handle(events::ShrinkWindow{});
  model.handle(key(121));
  EXPECT_TRUE(model.allDone());
  EXPECT_EQ(changes, 5) << "a repeated completion is not a change";
}

}  // namespace
}  // namespace orvane
