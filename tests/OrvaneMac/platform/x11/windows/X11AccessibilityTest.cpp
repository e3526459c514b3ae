#include <X11/Xlib.h>

#include <cmath>
#include <string>

#include "OrvaneMac/platform/x11/windows/X11Accessibility.h"
#include "tests/OrvaneMac/platform/x11/windows/X11WindowsFixture.h"

namespace orvane::test {
namespace {

using x11::X11Accessibility;

class X11AccessibilityTest : public X11WindowsFixture {};

// Focus from AT-SPI is not what these tests are about: a focus source that
// never reports, so that observers can be made.
class SilentFocus final : public AtSpiFocus {
 public:
  AXResult<AXElement> focusedElement() override { return {kAXErrorNoValue, nullptr}; }
  AXResult<AXElement> elementAtPoint(std::int32_t, float, float) override { return {kAXErrorNoValue, nullptr}; }
  std::unique_ptr<Subscription> observeFocus(std::int32_t, std::function<void()>) override {
    return std::make_unique<Subscription>();
  }
};

TEST_F(X11AccessibilityTest, ListsManagedWindowsFrontToBackAndRaiseBringsOneToTheFront) {
  TestClient a(client("Alpha", 60, 60)), b(client("Beta", 500, 120)), c(client("Gamma", 900, 200));
  const std::vector<unsigned long> ids{a.window(), b.window(), c.window()};
  ASSERT_TRUE(waitUntil([&] {
    return orderOf(ids) == std::vector{c.window(), b.window(), a.window()};
  })) << "the last mapped window is in front";

  const auto alpha = shareable(a.window());
  ASSERT_TRUE(alpha);
  EXPECT_EQ(alpha->title, "Alpha");
  EXPECT_EQ(alpha->windowLayer, 0);
  EXPECT_TRUE(alpha->isOnScreen);
  ASSERT_TRUE(alpha->owningApplication);
  EXPECT_EQ(alpha->owningApplication->processID, a.pid());
  EXPECT_FALSE(alpha->owningApplication->applicationName.empty()) << "named after its window class";
  EXPECT_EQ(alpha->owningApplication->bundleIdentifier, alpha->owningApplication->applicationName);
  EXPECT_EQ(alpha->frame, outerFrame(a.window())) << "decorations included";

  // The port's view of the same application.
  const AXElement app = ax->applicationElement(a.pid());
  const auto windows = ax->copyAttributeValue(app, kAXWindowsAttribute);
  ASSERT_TRUE(windows.ok());
  ASSERT_EQ(std::get<std::vector<AXElement>>(windows.value).size(), 1u);
  const AXElement window = std::get<std::vector<AXElement>>(windows.value).front();
  EXPECT_EQ(std::get<std::string>(ax->copyAttributeValue(window, kAXTitleAttribute).value), "Alpha");
  EXPECT_EQ(std::get<std::string>(ax->copyAttributeValue(window, kAXSubroleAttribute).value), "AXStandardWindow");
  EXPECT_EQ(ax->pid(window).value, a.pid());

  SilentFocus focus;
  X11Accessibility observed(*x, clock, &focus, {});
  int activations = 0;
  auto observer = observed.createObserver(a.pid(), [&](const AXElement&, std::string_view notification) {
    activations += notification == kAXApplicationActivatedNotification;
  });
  ASSERT_TRUE(observer);
  EXPECT_EQ(observer->addNotification(app, kAXApplicationActivatedNotification), kAXErrorSuccess);

  ASSERT_EQ(ax->performAction(window, kAXRaiseAction), kAXErrorSuccess);
  EXPECT_TRUE(waitUntil([&] { return orderOf(ids) == std::vector{a.window(), c.window(), b.window()}; }));
  EXPECT_TRUE(waitUntil([&] {
    const auto focused = ax->copyAttributeValue(app, kAXFocusedWindowAttribute);
    return focused.ok() && std::get<AXElement>(focused.value) &&
           x->windows(x->root(), "_NET_ACTIVE_WINDOW") == std::vector<::Window>{a.window()};
  }));
  EXPECT_TRUE(waitUntil([&] { return activations == 1; })) << "the application activated once";
}

TEST_F(X11AccessibilityTest, MoveAndResizeLandOnTheExactFrameBeforeReturning) {
  TestClient a(client("Mover", 100, 100));
  const AXElement window = ax->windowElement(a.window());
  ASSERT_TRUE(waitUntil([&] { return viewable(a.window()); }));

  EXPECT_EQ(ax->setAttributeValue(window, kAXPositionAttribute, Point{300, 200}), kAXErrorSuccess);
  EXPECT_EQ(axFrame(window)->origin, (Point{300, 200})) << "read straight after the call";
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Size{700, 500}), kAXErrorSuccess);
  EXPECT_EQ(axFrame(window), Rect(300, 200, 700, 500));
  EXPECT_EQ(outerFrame(a.window()), Rect(300, 200, 700, 500));

  // The client itself saw its frame minus the decorations.
  const auto extents = x->cardinals(a.window(), "_NET_FRAME_EXTENTS");
  ASSERT_TRUE(extents && extents->size() == 4);
  const long left = (*extents)[0], right = (*extents)[1], top = (*extents)[2], bottom = (*extents)[3];
  const std::string expected = "configure x=" + std::to_string(300 + left) + " y=" + std::to_string(200 + top) +
                               " width=" + std::to_string(700 - left - right) +
                               " height=" + std::to_string(500 - top - bottom);
  bool seen = false;
  while (auto line = a.waitForLine("configure ")) {
    if ((seen = *line == expected)) break;
  }
  EXPECT_TRUE(seen) << expected;

  // Values from the tablet far out of range are clamped, not refused.
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Size{1e12, -5}), kAXErrorSuccess);
  EXPECT_EQ(ax->setAttributeValue(window, kAXPositionAttribute, Point{-1e15, 1e15}), kAXErrorSuccess);
  const auto far = axFrame(window);
  ASSERT_TRUE(far);
  EXPECT_LE(std::fabs(far->origin.x), 32767 + far->size.width);
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Point{1, 2}), kAXErrorIllegalArgument);
  EXPECT_TRUE(ax->isAttributeSettable(window, kAXSizeAttribute).value);
}

TEST_F(X11AccessibilityTest, HitTestingFindsTheFrontWindowUnderAPoint) {
  TestClient back(client("Back", 100, 100, 500, 400)), front(client("Front", 300, 250, 500, 400));
  ASSERT_TRUE(waitUntil([&] { return orderOf({back.window(), front.window()}).front() == front.window(); }));
  const Rect frontFrame = outerFrame(front.window());
  const auto hit = ax->elementAtPosition(ax->systemWideElement(), frontFrame.minX() + 5, frontFrame.minY() + 5);
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(ax->pid(hit.value).value, front.pid());

  // Within one application, its window even where another covers it.
  const auto covered =
      ax->elementAtPosition(ax->applicationElement(back.pid()), frontFrame.minX() + 5, frontFrame.minY() + 5);
  ASSERT_TRUE(covered.ok());
  EXPECT_EQ(ax->pid(covered.value).value, back.pid());

  EXPECT_EQ(ax->elementAtPosition(ax->systemWideElement(), 1915, 1075).error, kAXErrorNoValue) << "the bare root";
  EXPECT_EQ(ax->elementAtPosition(ax->systemWideElement(), NAN, 3).error, kAXErrorIllegalArgument);
}

TEST_F(X11AccessibilityTest, AWindowThatIsGoneIsAnInvalidElement) {
  const ::Window gone = XCreateSimpleWindow(x->get(), x->root(), 0, 0, 10, 10, 0, 0, 0);
  const AXElement window = ax->windowElement(gone);
  XDestroyWindow(x->get(), gone);
  XSync(x->get(), False);

  EXPECT_EQ(ax->copyAttributeValue(window, kAXPositionAttribute).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->copyAttributeValue(window, kAXTitleAttribute).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->setAttributeValue(window, kAXSizeAttribute, Size{100, 100}), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->setAttributeValue(window, kAXMinimizedAttribute, true), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->performAction(window, kAXRaiseAction), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->pid(window).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->isAttributeSettable(window, kAXSizeAttribute).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(ax->copyAttributeValue(window, "AXNoSuchThing").error, kAXErrorAttributeUnsupported);
  EXPECT_EQ(ax->copyAttributeValue(ax->systemWideElement(), kAXFocusedUIElementAttribute).error, kAXErrorNoValue)
      << "no AT-SPI: nothing has focus";
  EXPECT_FALSE(ax->createObserver(1, [](const AXElement&, std::string_view) {})) << "no AT-SPI: nothing observed";
  EXPECT_FALSE(x->broken());
}

TEST_F(X11AccessibilityTest, ALostServerFailsTheContentAndTheCallsWithoutEndingTheProcess) {
  auto server = std::make_unique<XServer>(XServerOptions{.width = 800, .height = 600, .windowManager = false});
  auto lost = x11::X11Display::open(server->display());
  ASSERT_TRUE(lost);
  x11::X11ShareableContent source(*lost, queue, nullptr);
  X11Accessibility port(*lost, clock, nullptr, {});
  EXPECT_TRUE(await(queue, source.shareableContent(false, false)).windows.empty()) << "no window manager, no list";

  server.reset();
  EXPECT_THROW(await(queue, source.shareableContent(false, false)), CaptureServiceError);
  EXPECT_TRUE(lost->broken());
  EXPECT_EQ(port.copyAttributeValue(port.windowElement(1), kAXPositionAttribute).error, kAXErrorFailure);
  EXPECT_EQ(port.setAttributeValue(port.windowElement(1), kAXSizeAttribute, Size{10, 10}), kAXErrorFailure);
  EXPECT_FALSE(port.isProcessTrusted());
}

TEST(X11AXErrorTest, MapsXErrorsToAccessibilityCodes) {
  const struct {
    int xError;
    AXError expected;
  } cases[] = {
      {Success, kAXErrorSuccess},
      {BadWindow, kAXErrorInvalidUIElement},
      {BadDrawable, kAXErrorInvalidUIElement},
      {BadValue, kAXErrorIllegalArgument},
      {BadMatch, kAXErrorIllegalArgument},
      {BadAccess, kAXErrorFailure},
      {BadImplementation, kAXErrorFailure},
  };
  for (const auto& c : cases) EXPECT_EQ(x11::axErrorFromX(c.xError), c.expected) << c.xError;
}

}  // namespace
}  // namespace orvane::test
