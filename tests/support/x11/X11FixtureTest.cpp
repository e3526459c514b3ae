#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/x11/XServer.h"

// libatspi keeps a string past atspi_exit(); with GLib built without frame
// pointers only GLib's allocator shows in the stack.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

namespace orvane::test {
namespace {

using DisplayPtr = std::unique_ptr<Display, decltype(&XCloseDisplay)>;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

::Window parentOf(Display* display, ::Window window) {
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
  if (children) XFree(children);
  return parent;
}

unsigned long pixelAt(Display* display, int x, int y) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return ~0ul;
  unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
  XDestroyImage(image);
  return pixel;
}

void clickAt(Display* display, int x, int y, unsigned button) {
  XTestFakeMotionEvent(display, 0, x, y, CurrentTime);
  XTestFakeButtonEvent(display, button, True, CurrentTime);
  XTestFakeButtonEvent(display, button, False, CurrentTime);
  XSync(display, False);
}

TEST(X11FixtureTest, SharedServerRunsAManagedClientThatReportsInput) {
  auto start = std::chrono::steady_clock::now();
  XServer& server = sharedXServer();
  std::printf("XServer start without accessibility bus: %.3f s\n", secondsSince(start));
  ASSERT_EQ(std::string(std::getenv("DISPLAY")), server.display());
  EXPECT_STREQ(std::getenv("NO_AT_BRIDGE"), "1");
  DisplayPtr display(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(display) << server.log();
  EXPECT_EQ(DisplayWidth(display.get(), 0), 1920);

  start = std::chrono::steady_clock::now();
  TestClient client(
      {.title = "Fixture", .x = 200, .y = 150, .width = 400, .height = 300, .pattern = true, .extraArgs = {}});
  std::printf("test client ready: %.3f s\n", secondsSince(start));
  EXPECT_GT(client.pid(), 0);
  ::Window frame = parentOf(display.get(), client.window());
  EXPECT_NE(frame, 0u);
  EXPECT_NE(frame, DefaultRootWindow(display.get())) << "openbox did not reparent the client";
  int originX = 0, originY = 0;
  ::Window child = 0;
  XTranslateCoordinates(display.get(), client.window(), DefaultRootWindow(display.get()), 0, 0, &originX, &originY,
                        &child);
  auto configure = client.waitForLine("configure ");
  ASSERT_TRUE(configure);
  EXPECT_EQ(*configure, "configure x=" + std::to_string(originX) + " y=" + std::to_string(originY) +
                            " width=400 height=300");

  EXPECT_EQ(pixelAt(display.get(), originX + 20, originY + 20), 0xff0000u);
  EXPECT_EQ(pixelAt(display.get(), originX + 380, originY + 20), 0x00ff00u);

  ASSERT_TRUE(client.waitForLine("focus entry")) << "the new window did not get the focus";
  clickAt(display.get(), originX + 50, originY + 30, 1);
  auto click = client.waitForLine("click ");
  ASSERT_TRUE(click) << testing::PrintToString(client.linesSoFar());
  EXPECT_EQ(*click, "click button=1 x=" + std::to_string(originX + 50) + " y=" + std::to_string(originY + 30) +
                        " count=1");
  clickAt(display.get(), originX + 50, originY + 30, 1);
  auto doubleClick = client.waitForLine("click ");
  EXPECT_TRUE(doubleClick && doubleClick->ends_with("count=1"));
  doubleClick = client.waitForLine("click ");
  EXPECT_TRUE(doubleClick && doubleClick->ends_with("count=2")) << doubleClick.value_or("none");
  clickAt(display.get(), originX + 50, originY + 30, 4);
  EXPECT_EQ(client.waitForLine("scroll "), "scroll direction=up");

  XTestFakeKeyEvent(display.get(), XKeysymToKeycode(display.get(), XK_a), True, CurrentTime);
  XTestFakeKeyEvent(display.get(), XKeysymToKeycode(display.get(), XK_a), False, CurrentTime);
  XSync(display.get(), False);
  EXPECT_EQ(client.waitForLine("key "), "key keysym=a state=0x0");
  EXPECT_EQ(client.waitForLine("text "), "text a");
  EXPECT_FALSE(client.waitForLine("text ", 0.05)) << "a line is returned once";
}

TEST(X11FixtureTest, MissingXvfbIsReportedClearly) {
  const char* path = std::getenv("PATH");
  std::string savedPath = path ? path : "";
  ::setenv("PATH", "/nonexistent", 1);
  try {
    XServer server({.width = 640, .height = 480, .windowManager = false, .accessibilityBus = false});
    ADD_FAILURE() << "started without Xvfb on PATH";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("Xvfb"), std::string::npos) << error.what();
  }
  ::setenv("PATH", savedPath.c_str(), 1);
}

// Whether an application named `name` is registered on the accessibility bus.
bool accessibleApplicationListed(const std::string& name) {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  bool found = false;
  gint count = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint i = 0; i < count && !found; ++i) {
    AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!application) continue;
    gchar* applicationName = atspi_accessible_get_name(application, nullptr);
    found = applicationName && name == applicationName;
    g_free(applicationName);
    g_object_unref(application);
  }
  g_object_unref(desktop);
  return found;
}

TEST(X11FixtureTest, AccessibilityBusListsTheClient) {
  auto start = std::chrono::steady_clock::now();
  XServer server({.windowManager = true, .accessibilityBus = true});
  std::printf("XServer start with accessibility bus: %.3f s\n", secondsSince(start));
  ASSERT_FALSE(server.sessionBusAddress().empty());
  EXPECT_EQ(std::string(std::getenv("DBUS_SESSION_BUS_ADDRESS")), server.sessionBusAddress());
  EXPECT_EQ(std::getenv("NO_AT_BRIDGE"), nullptr);

  TestClient client;
  ASSERT_EQ(atspi_init(), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool listed = false;
  while (!listed && std::chrono::steady_clock::now() < deadline) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    listed = accessibleApplicationListed("orvane-x11-test-client");
    if (!listed) g_usleep(20000);
  }
  EXPECT_TRUE(listed) << server.log();
  // Before the buses go away: a lost connection must not end this process.
  atspi_exit();
}

}  // namespace
}  // namespace orvane::test
