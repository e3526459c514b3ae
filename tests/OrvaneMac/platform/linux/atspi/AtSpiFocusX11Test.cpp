// Focus of a real GTK application, read over a private accessibility bus.
// Text-field focus true then false through the whole host is X11HostTest's.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"
#include "tests/support/x11/MainLoop.h"
#include "tests/support/x11/XServer.h"

// libatspi abandons its pending D-Bus call when an application does not
// answer (the hang test): not ours to free. Full stacks let the suppression
// see libatspi under libdbus's allocations.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libatspi.so\n"; }

namespace orvane {
namespace {

const AccessibleNode* nodeOf(const AXResult<AXElement>& result) {
  return result.ok() ? dynamic_cast<const AccessibleNode*>(result.value.get()) : nullptr;
}

std::string roleOf(const AXResult<AXElement>& result) {
  const AccessibleNode* node = nodeOf(result);
  return node ? node->role() : "(error " + std::to_string(result.error) + ")";
}

TEST(AtSpiFocusX11Test, FocusOfOneApplicationElementsAtPointsAndAHungApplication) {
  test::sharedXServer(test::XServerOptions{.accessibilityBus = true});
  SystemClock clock;
  GLibExecutor main{clock};
  CapturingLogSink log;
  const std::unique_ptr<AtSpiFocus> focus = connectAtSpiFocus(main, log);
  ASSERT_NE(focus, nullptr) << log.messages().front();
  const std::unique_ptr<Display, decltype(&XCloseDisplay)> connection(XOpenDisplay(nullptr), &XCloseDisplay);
  ASSERT_NE(connection, nullptr);
  Display* const display = connection.get();
  const auto pressTab = [&] {
    const KeyCode code = XKeysymToKeycode(display, XK_Tab);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
  };
  const auto focusedRoleIs = [&](const std::string& role) {
    return test::runMainLoopUntil([&] { return roleOf(focus->focusedElement()) == role; });
  };

  test::TestClient client(
      {.title = "Focus", .x = 300, .y = 200, .width = 400, .height = 300, .pattern = false, .extraArgs = {}});
  ASSERT_TRUE(client.waitForLine("focus entry", 10));
  int changes = 0;
  auto watch = focus->observeFocus(client.pid(), [&] { ++changes; });
  ASSERT_TRUE(focusedRoleIs("AXTextField")) << roleOf(focus->focusedElement());
  EXPECT_EQ(nodeOf(focus->focusedElement())->pid(), client.pid());

  const int before = changes;
  pressTab();
  ASSERT_TRUE(focusedRoleIs("push button")) << roleOf(focus->focusedElement());
  EXPECT_TRUE(test::runMainLoopUntil([&] { return changes > before; }));

  // Nothing for a watch that is gone, nor for another process.
  watch.reset();
  int others = 0;
  auto otherWatch = focus->observeFocus(client.pid() + 100000, [&] { ++others; });
  const int ended = changes;
  pressTab();
  ASSERT_TRUE(focusedRoleIs("AXTextField"));
  test::runMainLoopUntil([] { return false; }, 0.2);
  EXPECT_EQ(changes, ended);
  EXPECT_EQ(others, 0);

  // A window without accessibility takes the focus: nothing is focused any more.
  const Window plain = XCreateSimpleWindow(display, DefaultRootWindow(display), 800, 100, 200, 200, 0, 0, 0);
  XMapWindow(display, plain);
  XEvent activate{};
  activate.xclient.type = ClientMessage;
  activate.xclient.window = plain;
  activate.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  activate.xclient.format = 32;
  activate.xclient.data.l[0] = 2;
  XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &activate);
  XSync(display, False);
  EXPECT_TRUE(test::runMainLoopUntil([&] { return focus->focusedElement().error == kAXErrorNoValue; }))
      << roleOf(focus->focusedElement());

  // Elements at points, from the client's own idea of where it is.
  auto geometry = client.waitForLine("configure", 10);
  ASSERT_TRUE(geometry);
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_EQ(std::sscanf(geometry->c_str(), "configure x=%d y=%d width=%d height=%d", &x, &y, &width, &height), 4);
  const float middle = static_cast<float>(x + width / 2);
  const auto roleAt = [&](int fromTop) { return roleOf(focus->elementAtPoint(client.pid(), middle, y + fromTop)); };

  // Top to bottom: the drawing area, then the entry, then the button.
  ASSERT_TRUE(test::runMainLoopUntil([&] { return roleAt(20) == "drawing area"; })) << roleAt(20);
  EXPECT_EQ(roleAt(height - 5), "push button");
  std::string role;
  for (int fromBottom = 20; fromBottom < height / 2 && role != "AXTextField"; fromBottom += 5) {
    role = roleAt(height - fromBottom);
  }
  EXPECT_EQ(role, "AXTextField") << "an entry above the button";

  // Outside every window of the application, or no such application, or no point at all.
  EXPECT_EQ(focus->elementAtPoint(client.pid(), 5, 5).error, kAXErrorNoValue);
  EXPECT_EQ(focus->elementAtPoint(999999, middle, static_cast<float>(y + 20)).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(focus->elementAtPoint(client.pid(), NAN, 10).error, kAXErrorIllegalArgument);
  EXPECT_NE(focus->elementAtPoint(client.pid(), 1e30f, -1e30f).error, kAXErrorSuccess);

  // A hung application: the observer's "cannot tell, assume a text field", once and briefly.
  const auto secondsOfAHungCall = [&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(focus->elementAtPoint(client.pid(), middle, y + 20).error, kAXErrorCannotComplete);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  ::kill(client.pid(), SIGSTOP);
  EXPECT_LT(secondsOfAHungCall(), 1.5);
  EXPECT_LT(secondsOfAHungCall(), 0.05) << "not asked again at once";
  ::kill(client.pid(), SIGCONT);
}

}  // namespace
}  // namespace orvane
