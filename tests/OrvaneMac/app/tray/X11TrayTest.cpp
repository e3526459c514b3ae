// The tray item on a private session bus, with a panel's watcher of the
// test's own, and the popover on the binary's Xvfb.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "OrvaneMac/app/tray/StatusBarController.h"
#include "OrvaneMac/platform/x11/X11Permissions.h"
#include "tests/OrvaneMac/app/tray/TrayBus.h"
#include "tests/OrvaneMac/session/SimHost.h"
#include "tests/support/x11/MainLoop.h"
#include "tests/support/x11/XServer.h"

// Fontconfig keeps its caches until exit by design: LeakSanitizer is told so
// for this binary, the only one rendering text in-process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace orvane::test {
namespace {

// The server's private session bus stands in for the desktop's; GTK itself
// stays off its accessibility bus.
XServer& environment() {
  static XServer& server = [] () -> XServer& {
    XServer& s = sharedXServer({.accessibilityBus = true});
    setenv("NO_AT_BRIDGE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) throw std::runtime_error("GTK cannot open the display");
    return s;
  }();
  return server;
}

struct FakePermissionsPort : PermissionsPort {
  bool accessibility = true;
  bool screenRecording = true;
  mutable int checks = 0;
  bool accessibilityTrusted() const override { return ++checks, accessibility; }
  bool screenRecordingAllowed() const override { return screenRecording; }
  void requestAccessibility() override {}
  void requestScreenRecording() override {}
  void openSettingsLink(std::string_view) override {}
  void relaunch() override {}
};

std::uint32_t centrePixel(GVariant* pixmaps, int index) {
  GVariant* entry = g_variant_get_child_value(pixmaps, index);
  int width = 0, height = 0;
  GVariant* bytes = nullptr;
  g_variant_get(entry, "(ii@ay)", &width, &height, &bytes);
  gsize size = 0;
  const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &size, 1));
  IconPixmap icon{width, height, std::vector<std::uint8_t>(data, data + size)};
  g_variant_unref(bytes);
  g_variant_unref(entry);
  return pixelAt(icon, width * 3 / 10, height * 3 / 10);
}

std::uint32_t argbOf(Tint tint) {
  const Rgb c = rgbOf(tint);
  return 0xff000000u | std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b;
}

class X11TrayTest : public ::testing::Test {
 protected:
  X11TrayTest() : panel(connectTo(environment().sessionBusAddress())) {}
  ~X11TrayTest() override {
    controller.reset();
    watcher.reset();
    pump([] { return false; }, 0.05);
    g_object_unref(panel);
  }

  // Runs the GLib loop (bus, GTK) and the host's executor until `done`.
  bool pump(const std::function<bool()>& done, double seconds = 5) {
    return runMainLoopUntil(
        [&] {
          host.main.runUntilIdle();
          return done();
        },
        seconds);
  }

  void startWatcher(bool hostRegistered) {
    watcher = std::make_unique<TestWatcher>(panel, hostRegistered);
    ASSERT_TRUE(pump([&] { return watcher->owned(); }));
  }

  void startController(bool forceWindow = false) {
    AppActions actions;
    actions.quit = [this] { ++quits; };
    controller = std::make_unique<StatusBarController>(host.main, *host.coordinator, permissions, actions,
                                                       StatusBarController::Options{forceWindow, &host.log});
    ASSERT_TRUE(pump([&] { return controller->item().hostAvailable().has_value(); }));
  }

  GVariant* itemProperty(const char* name) {
    return propertyOf(panel, controller->item().busName().c_str(), StatusNotifierItem::kItemPath,
                      "org.kde.StatusNotifierItem", name);
  }
  std::uint32_t iconPixel(int index) {
    GVariant* pixmaps = itemProperty("IconPixmap");
    EXPECT_EQ(g_variant_n_children(pixmaps), 2u);
    const std::uint32_t pixel = centrePixel(pixmaps, index);
    g_variant_unref(pixmaps);
    return pixel;
  }
  // A call the panel makes on the item (`path` kItemPath) or its menu; the reply as text, "" on error.
  std::string call(const char* path, const char* method, GVariant* parameters) {
    const bool menu = std::string_view(path) == StatusNotifierItem::kMenuPath;
    GVariant* reply = callAndWait(panel, controller->item().busName().c_str(), path,
                                  menu ? "com.canonical.dbusmenu" : "org.kde.StatusNotifierItem", method, parameters);
    if (!reply) return "";
    gchar* printed = g_variant_print(reply, FALSE);
    std::string text = printed;
    g_free(printed);
    g_variant_unref(reply);
    return text;
  }
  // The menu id of the item labelled `label` in the layout a panel reads, or -1.
  int menuId(const std::string& label) {
    const std::string layout = call(StatusNotifierItem::kMenuPath, "GetLayout",
                                    g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
    const auto at = layout.find("{'label': <'" + label + "'>");
    const auto open = layout.rfind("<(", at);
    return at == std::string::npos || open == std::string::npos ? -1 : std::atoi(layout.c_str() + open + 2);
  }
  std::pair<int, int> popoverOrigin() {
    int x = -1, y = -1;
    if (GdkWindow* window = gtk_widget_get_window(controller->popover().widget()))
      gdk_window_get_origin(window, &x, &y);
    return {x, y};
  }

  SimHost host;
  FakePermissionsPort port;
  PermissionsController permissions{host.coordinator->permissions(), port};
  GDBusConnection* panel;
  std::unique_ptr<TestWatcher> watcher;
  std::unique_ptr<StatusBarController> controller;
  int quits = 0;
};

TEST_F(X11TrayTest, RegistersWithTheWatcherAndTheIconFollowsTheState) {
  startWatcher(true);
  int newIcons = 0;
  const unsigned newIcon = g_dbus_connection_signal_subscribe(
      panel, nullptr, "org.kde.StatusNotifierItem", "NewIcon", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, void* count) {
        ++*static_cast<int*>(count);
      },
      &newIcons, nullptr);
  startController();
  ASSERT_TRUE(pump([&] { return controller->item().registered() && controller->item().hostAvailable() == true; }));
  EXPECT_EQ(watcher->registeredItems(), std::vector<std::string>{controller->item().busName()});
  EXPECT_FALSE(controller->popover().visible()) << "a tray shows the item: no window";

  // The controller started sharing at once.
  ASSERT_TRUE(pump([&] { return host.state() == ConnectionState::available(); }));
  EXPECT_EQ(iconPixel(0), argbOf(Tint::green));
  EXPECT_EQ(iconPixel(1), argbOf(Tint::green));
  GVariant* tip = itemProperty("ToolTip");
  const char* description = nullptr;
  g_variant_get(tip, "(&s@a(iiay)&s&s)", nullptr, nullptr, nullptr, &description);
  EXPECT_STREQ(description, "Waiting to connect…");
  g_variant_unref(tip);

  // "Stop" from the menu, as a host that only shows menus sends it.
  const int stop = menuId("Stop");
  ASSERT_GT(stop, 0);
  const gint32 ids[] = {stop, 999};
  EXPECT_EQ(call(StatusNotifierItem::kMenuPath, "GetGroupProperties",
                 g_variant_new("(@ai@as)", g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, ids, 2, 4),
                               g_variant_new_strv(nullptr, 0))),
            "([(" + std::to_string(stop) + ", {'label': <'Stop'>})],)")
      << "unknown ids left out";
  const int before = newIcons;
  ASSERT_EQ(call(StatusNotifierItem::kMenuPath, "Event",
                 g_variant_new("(isvu)", stop, "clicked", g_variant_new_int32(0), 0u)),
            "()");
  ASSERT_TRUE(pump([&] { return host.state() == ConnectionState::idle() && newIcons > before; }));
  g_dbus_connection_signal_unsubscribe(panel, newIcon);
  EXPECT_EQ(iconPixel(0), argbOf(Tint::black)) << "idle on a light panel";
  EXPECT_GT(menuId("Start Sharing"), 0);

  // Idle follows the panel's theme.
  GtkSettings* settings = gtk_settings_get_default();
  g_object_set(settings, "gtk-application-prefer-dark-theme", TRUE, nullptr);
  EXPECT_TRUE(pump([&] { return iconPixel(0) == argbOf(Tint::white); }));
  g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
  EXPECT_TRUE(pump([&] { return iconPixel(0) == argbOf(Tint::black); }));

  // The watcher going away means no tray shows the item any more.
  watcher.reset();
  ASSERT_TRUE(pump([&] { return controller->popover().visible(); }));
  EXPECT_EQ(controller->popover().mode(), PopoverWindow::Mode::window);
}

TEST_F(X11TrayTest, ActivateOpensThePopoverAtThePointAndPollsOnlyWhileShown) {
  startWatcher(true);
  startController();
  ASSERT_TRUE(pump([&] { return controller->item().hostAvailable() == true; }));
  PopoverWindow& popover = controller->popover();

  ASSERT_EQ(call(StatusNotifierItem::kItemPath, "Activate", g_variant_new("(ii)", 900, 0)), "()");
  ASSERT_TRUE(pump([&] { return popover.visible(); }));
  EXPECT_EQ(popover.mode(), PopoverWindow::Mode::popover);
  const int width = gtk_widget_get_allocated_width(popover.widget());
  EXPECT_EQ(width, PopoverWindow::kWidth);
  EXPECT_TRUE(pump([&] { return popoverOrigin() == std::make_pair(900 - width / 2, 0); }))
      << popoverOrigin().first << "," << popoverOrigin().second;
  EXPECT_FALSE(gtk_window_get_decorated(GTK_WINDOW(popover.widget())));

  // Revoking a permission while shown brings the setup rows within one poll.
  ASSERT_TRUE(controller->polling());
  EXPECT_EQ(popover.findButton("Grant"), nullptr);
  port.screenRecording = false;
  host.main.advance(Seconds(StatusBarController::kPermissionPollSeconds));
  EXPECT_NE(popover.findButton("Grant"), nullptr);

  // Another window taking the focus closes it, and the poll with it.
  ASSERT_TRUE(pump([&] { return gtk_window_is_active(GTK_WINDOW(popover.widget())); }));
  GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_show(other);
  gtk_window_present(GTK_WINDOW(other));
  EXPECT_TRUE(pump([&] { return !popover.visible(); }));
  EXPECT_FALSE(controller->polling());
  // That was the click on the item: it must not reopen the popover at once.
  controller->togglePopover(900, 0);
  EXPECT_FALSE(popover.visible());

  const int checks = port.checks;
  host.main.advance(Seconds(5));
  EXPECT_EQ(port.checks, checks) << "no poll while hidden";
  controller->togglePopover(900, 0);
  EXPECT_TRUE(popover.visible());
  controller->togglePopover(900, 0);
  EXPECT_FALSE(popover.visible());
  gtk_widget_destroy(other);
}

TEST_F(X11TrayTest, WithoutATrayHostThePopoverIsANormalWindow) {
  // No watcher at all.
  startController();
  EXPECT_EQ(controller->item().hostAvailable(), false);
  ASSERT_TRUE(pump([&] { return controller->popover().visible(); }));
  GtkWindow* window = GTK_WINDOW(controller->popover().widget());
  EXPECT_EQ(controller->popover().mode(), PopoverWindow::Mode::window);
  EXPECT_TRUE(gtk_window_get_decorated(window));
  EXPECT_FALSE(gtk_window_get_skip_taskbar_hint(window));
  EXPECT_TRUE(controller->polling());
  controller.reset();

  // A watcher without a host.
  startWatcher(false);
  startController();
  EXPECT_EQ(controller->item().hostAvailable(), false);
  EXPECT_EQ(watcher->registeredItems().size(), 1u);
  EXPECT_TRUE(controller->popover().visible());
  EXPECT_EQ(controller->popover().mode(), PopoverWindow::Mode::window);

  // The Quit button reaches the program.
  gtk_button_clicked(GTK_BUTTON(controller->popover().findButton("Quit")));
  EXPECT_EQ(quits, 1);
}

// Pixels of the rendered popover close to `tint`.
int pixelsOf(cairo_surface_t* surface, Tint tint) {
  const Rgb want = rgbOf(tint);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int count = 0;
  for (int y = 0; y < cairo_image_surface_get_height(surface); ++y) {
    for (int x = 0; x < cairo_image_surface_get_width(surface); ++x) {
      std::uint32_t p;
      std::memcpy(&p, data + y * stride + x * 4, 4);
      auto near = [](int a, int b) { return std::abs(a - b) < 40; };
      if (near(p >> 16 & 0xff, want.r) && near(p >> 8 & 0xff, want.g) && near(p & 0xff, want.b)) ++count;
    }
  }
  return count;
}

// Renders the popover in four states, as PNG files in ORVANE_ARTIFACTS_DIR, else the build's artifacts.
TEST(X11PopoverScreenshotTest, SetupAvailableConnectedAndSignInRequired) {
  environment();
  struct Shot {
    const char* file;
    ConnectionState state;
    Tint headerTint;
    bool granted = true;
  };
  const std::vector<Shot> shots = {
      {"popover-setup.png", ConnectionState::idle(), Tint::gray, false},
      {"popover-available.png", ConnectionState::available(), Tint::green},
      {"popover-connected.png", ConnectionState::connected(), Tint::blue},
      {"popover-sign-in-required.png", ConnectionState::failed("Sign in required"), Tint::red}};
  const char* artifacts = std::getenv("ORVANE_ARTIFACTS_DIR");
  if (!artifacts) artifacts = ORVANE_DEFAULT_ARTIFACTS;
  PopoverWindow popover;
  std::vector<std::pair<PopoverAction, std::string>> pressed;
  popover.onAction = [&](PopoverAction action, const std::string& text) { pressed.emplace_back(action, text); };
  for (const Shot& shot : shots) {
    PopoverSnapshot snapshot;
    snapshot.state = shot.state;
    snapshot.accessibilityGranted = snapshot.screenRecordingGranted = shot.granted;
    snapshot.screenRecordingNeedsRelaunch = !shot.granted;
    if (!shot.granted) snapshot.explanation = x11::X11Permissions::kWaylandExplanation;
    snapshot.version = "0.1.0 (1)";
    popover.setContent(popoverContent(snapshot));
    popover.showAt(400, 0);
    // Mapped, and the window manager agreeing with the size GTK asks for.
    ASSERT_TRUE(runMainLoopUntil([&] {
      GtkRequisition natural{};
      gtk_widget_get_preferred_size(popover.widget(), nullptr, &natural);
      return gtk_widget_get_mapped(popover.widget()) &&
             gtk_widget_get_allocated_width(popover.widget()) == natural.width &&
             gtk_widget_get_allocated_height(popover.widget()) == natural.height;
    })) << shot.file;
    runMainLoopUntil([] { return false; }, 0.1);
    const int width = gtk_widget_get_allocated_width(popover.widget());
    const int height = gtk_widget_get_allocated_height(popover.widget());
    EXPECT_EQ(width, PopoverWindow::kWidth) << shot.file;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(popover.widget(), cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    EXPECT_GT(pixelsOf(surface, shot.headerTint), 20) << shot.file << ": the header icon's colour";
    std::filesystem::create_directories(artifacts);
    cairo_surface_write_to_png(surface, (std::filesystem::path(artifacts) / shot.file).c_str());
    cairo_surface_destroy(surface);
  }
  // The last one asks for an invite, and passes what was pasted.
  popover.setSignInText("invite-token");
  gtk_button_clicked(GTK_BUTTON(popover.findButton("Sign In")));
  ASSERT_EQ(pressed.size(), 1u);
  EXPECT_EQ(pressed[0], std::make_pair(PopoverAction::signIn, std::string("invite-token")));
}

TEST(X11PermissionsTest, GrantedOnXvfbAndPlainlyRefusedUnderWayland) {
  environment();
  auto display = x11::X11Display::open();
  ASSERT_NE(display, nullptr);
  int relaunches = 0;
  x11::X11Permissions x11(*display, {[&] { ++relaunches; }, false});
  EXPECT_TRUE(x11.accessibilityTrusted());
  EXPECT_TRUE(x11.screenRecordingAllowed());
  EXPECT_EQ(x11.missingExplanation(), "");
  x11.relaunch();
  EXPECT_EQ(relaunches, 1);

  x11::X11Permissions wayland(*display, {nullptr, true});
  EXPECT_FALSE(wayland.accessibilityTrusted());
  EXPECT_FALSE(wayland.screenRecordingAllowed());
  EXPECT_NE(wayland.missingExplanation().find("Wayland session, which Orvane does not support yet"), std::string::npos);

  EXPECT_TRUE(x11::waylandSession("wayland", nullptr));
  EXPECT_TRUE(x11::waylandSession("x11", "wayland-0"));
  EXPECT_FALSE(x11::waylandSession("x11", ""));
  EXPECT_FALSE(x11::waylandSession(nullptr, nullptr));
}

}  // namespace
}  // namespace orvane::test
