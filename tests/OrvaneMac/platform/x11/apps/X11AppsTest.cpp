// The workspace and application ports on a real X server with openbox. GIO
// reads the XDG directories once per process: the environment below sets
// them before anything here loads a desktop entry.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/linux/GioApplicationIndex.h"
#include "OrvaneMac/platform/x11/apps/X11Applications.h"
#include "OrvaneMac/platform/x11/apps/X11Workspace.h"
#include "tests/support/TempDir.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {
namespace {

namespace fs = std::filesystem;

class XdgDirectories : public ::testing::Environment {
 public:
  static inline test::TempDir* root = nullptr;

  void SetUp() override {
    // First: openbox finds its theme through the real XDG directories.
    test::sharedXServer();
    root = new test::TempDir;
    fs::create_directories(root->path / "applications");
    ::setenv("XDG_DATA_HOME", root->path.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (root->path / "none").c_str(), 1);
    std::ofstream(entryPath()) << "[Desktop Entry]\nType=Application\nName=Launch Test\nExec="
                               << test::TestClient::executablePath() << " --title Launched --geometry 500x400+40+40\n";
    std::ofstream(root->path / "applications" / "hidden.desktop")
        << "[Desktop Entry]\nType=Application\nName=Hidden\nNoDisplay=true\nExec=true\n";
  }
  void TearDown() override { delete root; }
  static std::string entryPath() { return (root->path / "applications" / "org.orvane.LaunchTest.desktop").string(); }
};

const auto* const kXdg = ::testing::AddGlobalTestEnvironment(new XdgDirectories);

// Runs the default main context, where the display's events are read, until
// `done` or the deadline.
bool pumpUntil(const std::function<bool()>& done, double seconds = 5) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return true;
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

class X11AppsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::sharedXServer();
    x = X11Display::open();
    ASSERT_NE(x, nullptr);
    x->attachToMainLoop();
  }
  // Until the active window belongs to `pid`, and every event up to that
  // point has reached the ports: the reply that showed it came after them.
  bool frontIs(Workspace& workspace, std::int32_t pid) {
    if (!pumpUntil([&] { return workspace.frontmostApplicationPID() == pid; })) return false;
    x->dispatchPending();
    return true;
  }
  static X11Applications::Options noEntries() {
    X11Applications::Options options;
    options.entries = std::make_shared<const DesktopEntries>(std::vector<DesktopEntries::Record>{});
    return options;
  }

  std::unique_ptr<X11Display> x;
  CapturingLogSink log;
};

TEST_F(X11AppsTest, ActivatingAnotherClientIsReportedWithItsPid) {
  test::TestClient first(window("First", 10, 10, 300, 200));
  test::TestClient second(window("Second", 400, 10, 300, 200));
  X11Workspace workspace{*x};
  X11Applications apps{*x, noEntries(), log};
  ASSERT_TRUE(frontIs(workspace, second.pid()));

  std::vector<std::optional<std::int32_t>> activations;
  auto subscription = workspace.observeApplicationActivation([&](auto pid) { activations.push_back(pid); });
  ASSERT_TRUE(apps.activate(first.pid(), Applications::kActivateIgnoringOtherApps));
  ASSERT_TRUE(pumpUntil([&] { return !activations.empty(); }));
  EXPECT_EQ(activations, std::vector<std::optional<std::int32_t>>{first.pid()});
  EXPECT_EQ(workspace.frontmostApplicationPID(), first.pid());
  EXPECT_EQ(apps.localizedName(first.pid()), "orvane-x11-test");  // the process name, cut by the kernel

  ASSERT_TRUE(apps.activate(second.pid(), 0));
  ASSERT_TRUE(pumpUntil([&] { return activations.size() == 2; }));
  EXPECT_EQ(activations.back(), second.pid());

  subscription.reset();
  ASSERT_TRUE(apps.activate(first.pid(), 0));
  ASSERT_TRUE(frontIs(workspace, first.pid()));
  EXPECT_EQ(activations.size(), 2u);

  EXPECT_FALSE(apps.activate(999999, 0));  // no window, no activation
  EXPECT_FALSE(apps.activate(-1, 0));
  EXPECT_EQ(apps.localizedName(999999), std::nullopt);
}

TEST_F(X11AppsTest, ThisProcessBecomingActiveIsReportedOncePerActivation) {
  test::TestClient other(window("Other", 10, 10, 300, 200));
  X11Workspace workspace{*x};
  X11Applications apps{*x, noEntries(), log};
  // A window of this process, as the host's popover would be.
  Display* d = x->get();
  const ::Window own = XCreateSimpleWindow(d, x->root(), 500, 300, 300, 200, 0, 0, 0);
  const long pid = ::getpid();
  XChangeProperty(d, own, x->atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  XMapWindow(d, own);
  XFlush(d);
  ASSERT_TRUE(pumpUntil([&] { return topmostWindowOf(*x, ::getpid()) == own; }));

  ASSERT_TRUE(apps.activate(other.pid(), 0));
  ASSERT_TRUE(frontIs(workspace, other.pid()));
  int becameActive = 0;
  auto subscription = apps.observeDidBecomeActive([&] { ++becameActive; });
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(apps.activate(::getpid(), 0));
    ASSERT_TRUE(frontIs(workspace, ::getpid()));
    EXPECT_EQ(becameActive, round);
    ASSERT_TRUE(apps.activate(other.pid(), 0));
    ASSERT_TRUE(frontIs(workspace, other.pid()));
    EXPECT_EQ(becameActive, round);
  }
  EXPECT_EQ(apps.localizedName(::getpid()), "x11_apps_tests");
  XDestroyWindow(d, own);
  XFlush(d);
}

TEST_F(X11AppsTest, ADesktopEntryIsListedLaunchedFollowedAndNamed) {
  ManualExecutor main;
  GioApplicationIndex index{main};
  std::vector<ApplicationIndexItem> items;
  auto query = index.startApplicationQuery([&](std::vector<ApplicationIndexItem> results) { items = results; });
  main.runUntilIdle();
  const std::vector<ApplicationIndexItem> expected{{XdgDirectories::entryPath(), "Launch Test"}};
  ASSERT_EQ(items, expected);  // the NoDisplay entry is not offered
  items.clear();
  query = index.startApplicationQuery([&](std::vector<ApplicationIndexItem> results) { items = results; });
  query.reset();  // dropped before it finished: no answer
  main.runUntilIdle();
  EXPECT_TRUE(items.empty());

  X11Workspace workspace{*x};
  X11Applications apps{*x, X11Applications::Options{}, log};
  ASSERT_TRUE(apps.openApplication(XdgDirectories::entryPath())) << apps.lastLaunch().message;
  ASSERT_TRUE(apps.lastLaunch().pid);
  const pid_t launched = *apps.lastLaunch().pid;
  const bool appeared = pumpUntil([&] { return workspace.frontmostApplicationPID() == launched; }, 10);
  EXPECT_TRUE(appeared);
  if (appeared) {
    EXPECT_EQ(apps.localizedName(launched), "Launch Test");  // by its WM_CLASS, from the desktop entry
    EXPECT_TRUE(apps.activate(launched, Applications::kActivateIgnoringOtherApps));
  }
  ::kill(launched, SIGTERM);

  EXPECT_FALSE(apps.openApplication(XdgDirectories::entryPath() + ".missing"));
  EXPECT_EQ(apps.lastLaunch().failure, GioApplicationLauncher::Failure::noSuchEntry);
}

}  // namespace
}  // namespace orvane::x11
