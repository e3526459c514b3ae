#include <cmath>
#include <string>

#include "OrvaneMac/platform/x11/windows/X11Accessibility.h"
#include "tests/OrvaneMac/platform/x11/windows/X11WindowsFixture.h"

namespace orvane::test {
namespace {

using x11::X11Accessibility;

class X11AccessibilityTest : public X11WindowsFixture {
 protected:
  // The windows of `ids` in the content's order, front first.
  std::vector<unsigned long> orderOf(const std::vector<unsigned long>& ids) {
    std::vector<unsigned long> order;
    for (const ShareableWindow& w : windows()) {
      if (std::find(ids.begin(), ids.end(), w.windowID) != ids.end()) order.push_back(w.windowID);
    }
    return order;
  }
};

// A focus source that never reports, so that observers can be made.
class SilentFocus final : public AtSpiFocus {
 public:
  AXResult<AXElement> focusedElement() override { return {kAXErrorNoValue, nullptr}; }
  AXResult<AXElement> elementAtPoint(std::int32_t, float, float) override { return {kAXErrorNoValue, nullptr}; }
  std::unique_ptr<Subscription> observeFocus(std::int32_t, std::function<void()>) override {
    return std::make_unique<Subscription>();
  }
};

TEST_F(X11AccessibilityTest, ListsWindowsFrontToBackHitTestsThemAndRaiseBringsOneToTheFront) {
  TestClient a(client("Alpha", 60, 60)), b(client("Beta", 300, 200)), c(client("Gamma", 900, 200));
  const std::vector<unsigned long> ids{a.window(), b.window(), c.window()};
  ASSERT_TRUE(waitUntil([&] { return orderOf(ids) == std::vector{c.window(), b.window(), a.window()}; }));

  const auto alpha = shareable(a.window());
  ASSERT_TRUE(alpha && alpha->owningApplication);
  EXPECT_EQ(alpha->title, "Alpha");
  EXPECT_TRUE(alpha->isOnScreen);
  EXPECT_EQ(alpha->owningApplication->processID, a.pid());
  EXPECT_FALSE(alpha->owningApplication->applicationName.empty()) << "named after its window class";
  EXPECT_EQ(alpha->frame, outerFrame(a.window())) << "decorations included";

  // The port's view of the same application.
  const AXElement app = ax->applicationElement(a.pid());
  const auto list = std::get<std::vector<AXElement>>(ax->copyAttributeValue(app, kAXWindowsAttribute).value);
  ASSERT_EQ(list.size(), 1u);
  const AXElement window = list.front();
  EXPECT_EQ(std::get<std::string>(ax->copyAttributeValue(window, kAXTitleAttribute).value), "Alpha");
  EXPECT_EQ(ax->pid(window).value, a.pid());

  // Beta covers Alpha at Beta's corner, except within Alpha's application.
  const Rect beta = outerFrame(b.window());
  const auto at = [&](const AXElement& root) { return ax->elementAtPosition(root, beta.minX() + 5, beta.minY() + 5); };
  EXPECT_EQ(ax->pid(at(ax->systemWideElement()).value).value, b.pid());
  EXPECT_EQ(ax->pid(at(app).value).value, a.pid());
  EXPECT_EQ(ax->elementAtPosition(ax->systemWideElement(), 1915, 1075).error, kAXErrorNoValue) << "the bare root";
  EXPECT_EQ(ax->elementAtPosition(ax->systemWideElement(), NAN, 3).error, kAXErrorIllegalArgument);

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

TEST_F(X11AccessibilityTest, AWindowThatIsGoneIsAnInvalidElementAndALostServerAFailure) {
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
  // Without AT-SPI nothing has focus and nothing is observed.
  EXPECT_EQ(ax->copyAttributeValue(ax->systemWideElement(), kAXFocusedUIElementAttribute).error, kAXErrorNoValue);
  EXPECT_FALSE(ax->createObserver(1, [](const AXElement&, std::string_view) {}));
  EXPECT_FALSE(x->broken());

  // A lost server fails the content and the calls without ending the process.
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

}  // namespace
}  // namespace orvane::test
