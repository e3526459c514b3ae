// The host on a real X server: the coordinator over every X11 port, driven by
// the tablet's events as a session delivers them.

#include <X11/Xlib.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/platform/x11/X11Desktop.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"
#include "OrvaneMac/session/AppCatalog.h"
#include "OrvaneMac/session/WindowFitting.h"
#include "tests/OrvaneMac/session/TestHost.h"
#include "tests/support/x11/MainLoop.h"
#include "tests/support/x11/Person.h"
#include "tests/support/x11/XServer.h"

namespace orvane::test {
namespace {

constexpr Size kScreen{1920, 1080};
constexpr const char* kLaunchedTitle = "Launched pad";

// The X server with an accessibility bus, and a desktop entry for the test
// client in an XDG data directory of its own, both set up before any port
// reads the environment.
void prepareEnvironmentOnce() {
  static TempDir data;
  static const bool prepared = [] {
    XServerOptions options;
    options.accessibilityBus = true;
    sharedXServer(options);
    std::filesystem::create_directories(data.path / "applications");
    std::ofstream(data.path / "applications" / "orvane-test-pad.desktop")
        << "[Desktop Entry]\nType=Application\nName=Orvane Test Pad\nExec=" << TestClient::executablePath()
        << " --title \"" << kLaunchedTitle << "\" --geometry 400x300+40+40\n";
    setenv("XDG_DATA_HOME", data.path.c_str(), 1);
    return true;
  }();
  (void)prepared;
}

// A whole host on the binary's Xvfb: the X11 ports and the coordinator on
// this thread's GLib main loop, in real time.
class X11Host : public TestHost {
 public:
  X11Host() {
    prepareEnvironmentOnce();
    desktop = x11::X11Desktop::open(main, &defaults);
    if (!desktop) throw std::runtime_error("no X display");
    build(main, ports(), AppCatalog::xdgApplicationPrefixes());
  }
  ~X11Host() override {
    coordinator.reset();
    runUntilIdle();
  }

  void runUntilIdle() override {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }
  bool runUntil(const std::function<bool()>& done, double seconds = 10) { return runMainLoopUntil(done, seconds); }
  void runFor(double seconds) {
    runUntil([] { return false; }, seconds);
  }

  // A session where events flow and the guard and text-field observer are
  // in place: they come once the capture has started, on its own thread.
  void connectFully() {
    connectSession();
    if (!runUntil([&] { return coordinator->controlGuard().hasTap(); })) throw std::runtime_error("no guard");
  }

  SessionPorts ports() {
    x11::X11Desktop& d = *desktop;
    return SessionPorts{d.events(),      d.taps(),         d.accessibility(),    d.screens(),
                        d.workspace(),   d.process(),      d.content(),          d.streams(),
                        d.applicationIndex(), d.applications(), d.power(), d.screenCapture(), d.displayScale()};
  }

  // The managed window with that title, as the window manager has it now.
  std::optional<x11::ClientWindow> window(const std::string& title) {
    x11::X11Windows windows(desktop->display());
    for (const x11::ClientWindow& w : windows.list().value_or(std::vector<x11::ClientWindow>{})) {
      if (w.title == title) return w;
    }
    return std::nullopt;
  }
  ::Window activeWindow() {
    auto active = desktop->display().windows(desktop->display().root(), "_NET_ACTIVE_WINDOW");
    return active && !active->empty() ? active->front() : 0;
  }

  SystemClock clock;
  GLibExecutor main{clock};
  std::unique_ptr<x11::X11Desktop> desktop;
};

Rect fitted(std::optional<Size> pad) {
  const PadFit fit = fitToPad(kScreen, pad);
  return Rect(static_cast<double>(fit.x), static_cast<double>(fit.y), static_cast<double>(fit.width),
              static_cast<double>(fit.height));
}

TEST(X11HostTest, LaunchOpensTheDesktopEntryOfThatNameThenFollowsAndFitsItsWindow) {
  X11Host host;
  host.connectFully();
  host.receive(events::PadScreenInfo{1180, 820});
  host.receive(events::LaunchApp{"orvane test pad"});

  const Rect target = fitted(Size{1180, 820});
  std::optional<x11::ClientWindow> launched;
  EXPECT_TRUE(host.runUntil([&] {
    launched = host.window(kLaunchedTitle);
    return launched && launched->frame == target;
  })) << "launched: " << (launched ? "yes" : "no");
  ASSERT_TRUE(launched);
  EXPECT_EQ(host.coordinator->inputInjector().capturedWindowPID(), launched->pid);
  kill(launched->pid, SIGTERM);
}

TEST(X11HostTest, SwitchToWindowBringsItForwardAndFitsIt) {
  X11Host host;
  TestClient::Options back;
  back.title = "Back window";
  TestClient behind(back);
  TestClient::Options front;
  front.title = "Front window";
  front.x = 300;
  TestClient before(front);
  host.connectFully();

  host.receive(events::RequestWindowList{});
  ASSERT_TRUE(host.runUntil([&] { return !host.sentOf<events::WindowList>().empty(); }));
  std::string id;
  const auto lists = host.sentOf<events::WindowList>();
  for (const WindowInfo& info : lists.back().windows) {
    if (info.windowTitle == "Back window") id = info.id;
  }
  ASSERT_FALSE(id.empty());

  host.receive(events::SwitchToWindow{id});
  EXPECT_TRUE(host.runUntil([&] {
    auto w = host.window("Back window");
    return w && w->frame == fitted(std::nullopt) && host.activeWindow() == behind.window();
  }));
  EXPECT_TRUE(host.runUntil([&] { return !host.sentOf<events::WindowFocused>().empty(); }));
}

TEST(X11HostTest, APersonAtTheComputerTakesOverUntilTheQuietIntervalHasPassed) {
  X11Host host;
  TestClient client;
  host.connectFully();
  host.receive(events::TypeText{"ab"});
  ASSERT_TRUE(client.waitForLine("text ab"));

  Person person;
  ASSERT_TRUE(person.ready());

  person.key(50);  // Shift_L: a modifier change is local input too, and types nothing
  ASSERT_TRUE(host.runUntil([&] { return !host.sentOf<events::LocalControlActive>().empty(); }));
  EXPECT_EQ(host.sentOf<events::LocalControlActive>().back(), events::LocalControlActive{true});
  host.receive(events::TypeText{"cd"});
  host.runFor(0.3);
  EXPECT_FALSE(client.waitForLine("text abc", 0.2)) << "the tablet's typing waits while the person has control";

  ASSERT_TRUE(host.runUntil([&] { return host.sentOf<events::LocalControlActive>().back().active == false; }, 5));
  host.receive(events::TypeText{"e"});
  EXPECT_TRUE(client.waitForLine("text abe"));
}

TEST(X11HostTest, TextFieldFocusComesFromTheAccessibilityBus) {
  X11Host host;
  TestClient client;
  host.connectFully();
  ASSERT_TRUE(host.runUntil([&] { return !host.sentOf<events::TextFieldFocused>().empty(); }));
  EXPECT_EQ(host.sentOf<events::TextFieldFocused>().back(), events::TextFieldFocused{true}) << "the entry has focus";

  constexpr std::int64_t kTab = 48;
  host.receive(events::KeyEvent{kTab, {}, true});
  host.receive(events::KeyEvent{kTab, {}, false});
  ASSERT_TRUE(client.waitForLine("focus button"));
  EXPECT_TRUE(host.runUntil([&] { return host.sentOf<events::TextFieldFocused>().back().focused == false; }));
}

}  // namespace
}  // namespace orvane::test
