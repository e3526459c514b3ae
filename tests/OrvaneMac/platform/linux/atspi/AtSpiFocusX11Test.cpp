// Focus of a real GTK application, read over a private accessibility bus.
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
#include "OrvaneMac/input/TextFieldObserver.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"
#include "tests/support/x11/XServer.h"

// libatspi abandons its pending D-Bus call when an application does not
// answer (the hang test): not ours to free. Full stacks let the suppression
// see libatspi under libdbus's allocations.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libatspi.so\n"; }

namespace orvane {
namespace {

// Runs the default main context (where libatspi and the executor dispatch)
// until `done` or the deadline.
bool pumpUntil(const std::function<bool()>& done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return true;
}

const AccessibleNode* nodeOf(const AXResult<AXElement>& result) {
  return result.ok() ? dynamic_cast<const AccessibleNode*>(result.value.get()) : nullptr;
}

std::string roleOf(const AXResult<AXElement>& result) {
  const AccessibleNode* node = nodeOf(result);
  return node ? node->role() : "(error " + std::to_string(result.error) + ")";
}

bool isTextRole(const std::string& role) {
  const auto& roles = TextFieldObserver::kTextInputRoles;
  return std::find(roles.begin(), roles.end(), role) != roles.end();
}

test::TestClient::Options window(std::string title, int x, int y, int width, int height) {
  test::TestClient::Options options;
  options.title = std::move(title);
  options.x = x;
  options.y = y;
  options.width = width;
  options.height = height;
  return options;
}

class AtSpiFocusX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    test::sharedXServer(test::XServerOptions{.accessibilityBus = true});
    focus = connectAtSpiFocus(main, log);
    ASSERT_NE(focus, nullptr) << log.messages().front();
    display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  void press(KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
  }

  SystemClock clock;
  GLibExecutor main{clock};
  CapturingLogSink log;
  std::unique_ptr<AtSpiFocus> focus;
  Display* display = nullptr;
};

TEST_F(AtSpiFocusX11Test, FollowsTheFocusFromTheEntryToTheButton) {
  test::TestClient client(window("Focus", 50, 60, 400, 300));
  ASSERT_TRUE(client.waitForLine("focus entry", 10));
  int changes = 0;
  auto watch = focus->observeFocus(client.pid(), [&] { ++changes; });

  ASSERT_TRUE(pumpUntil([&] { return isTextRole(roleOf(focus->focusedElement())); }))
      << roleOf(focus->focusedElement());
  EXPECT_EQ(roleOf(focus->focusedElement()), "AXTextField");
  EXPECT_EQ(nodeOf(focus->focusedElement())->pid(), client.pid());

  const int before = changes;
  press(XK_Tab);
  ASSERT_TRUE(client.waitForLine("focus button"));
  ASSERT_TRUE(pumpUntil([&] { return roleOf(focus->focusedElement()) == "push button"; }))
      << roleOf(focus->focusedElement());
  EXPECT_TRUE(pumpUntil([&] { return changes > before; }));

  // Nothing for a watch that is gone, nor for another process.
  watch.reset();
  int others = 0;
  auto otherWatch = focus->observeFocus(client.pid() + 100000, [&] { ++others; });
  const int ended = changes;
  press(XK_Tab);
  ASSERT_TRUE(pumpUntil([&] { return roleOf(focus->focusedElement()) == "AXTextField"; }));
  pumpUntil([] { return false; }, 0.2);
  EXPECT_EQ(changes, ended);
  EXPECT_EQ(others, 0);

  // A window without accessibility takes the focus: nothing is focused any more.
  const Window plain = XCreateSimpleWindow(display, DefaultRootWindow(display), 600, 100, 200, 200, 0, 0, 0);
  XMapWindow(display, plain);
  XSync(display, False);
  XEvent activate{};
  activate.xclient.type = ClientMessage;
  activate.xclient.window = plain;
  activate.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  activate.xclient.format = 32;
  activate.xclient.data.l[0] = 2;
  XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &activate);
  XSync(display, False);
  EXPECT_TRUE(pumpUntil([&] { return focus->focusedElement().error == kAXErrorNoValue; }))
      << roleOf(focus->focusedElement());
  XDestroyWindow(display, plain);
  XSync(display, False);
}

TEST_F(AtSpiFocusX11Test, AnApplicationThatHangsHoldsTheLoopOnceAndBriefly) {
  test::TestClient client(window("Hung", 100, 100, 300, 200));
  ASSERT_TRUE(pumpUntil([&] { return focus->elementAtPoint(client.pid(), 250, 150).ok(); }));
  ::kill(client.pid(), SIGSTOP);
  std::vector<double> seconds;
  for (int i = 0; i < 2; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto hit = focus->elementAtPoint(client.pid(), 250, 150);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(hit.error, kAXErrorCannotComplete);  // the observer's "cannot tell, assume a text field"
  }
  ::kill(client.pid(), SIGCONT);
  EXPECT_LT(seconds[0], 1.5);
  EXPECT_LT(seconds[1], 0.05) << "not asked again at once";
  std::printf("elementAtPoint on a stopped application: %.0f ms, then %.1f ms\n", seconds[0] * 1000,
              seconds[1] * 1000);
}

TEST_F(AtSpiFocusX11Test, ElementAtAPointIsTheDeepestThere) {
  test::TestClient client(window("Points", 300, 200, 400, 300));
  auto geometry = client.waitForLine("configure", 10);
  ASSERT_TRUE(geometry);
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_EQ(std::sscanf(geometry->c_str(), "configure x=%d y=%d width=%d height=%d", &x, &y, &width, &height), 4);
  const float middle = static_cast<float>(x + width / 2);

  // Top to bottom: the drawing area, then the entry, then the button.
  AXResult<AXElement> area;
  ASSERT_TRUE(pumpUntil([&] {
    area = focus->elementAtPoint(client.pid(), middle, static_cast<float>(y + 20));
    return area.ok();
  })) << area.error;
  EXPECT_EQ(roleOf(area), "drawing area");
  EXPECT_EQ(nodeOf(area)->pid(), client.pid());
  EXPECT_EQ(roleOf(focus->elementAtPoint(client.pid(), middle, static_cast<float>(y + height - 5))), "push button");
  std::string role;
  for (int fromBottom = 20; fromBottom < height / 2 && !isTextRole(role); fromBottom += 5) {
    role = roleOf(focus->elementAtPoint(client.pid(), middle, static_cast<float>(y + height - fromBottom)));
  }
  EXPECT_EQ(role, "AXTextField") << "an entry above the button";

  // Outside every window of the application, or no such application, or no point at all.
  EXPECT_EQ(focus->elementAtPoint(client.pid(), 5, 5).error, kAXErrorNoValue);
  EXPECT_EQ(focus->elementAtPoint(999999, middle, static_cast<float>(y + 20)).error, kAXErrorInvalidUIElement);
  EXPECT_EQ(focus->elementAtPoint(client.pid(), NAN, 10).error, kAXErrorIllegalArgument);
  EXPECT_TRUE(focus->elementAtPoint(client.pid(), 1e30f, -1e30f).error != kAXErrorSuccess);
}

}  // namespace
}  // namespace orvane
