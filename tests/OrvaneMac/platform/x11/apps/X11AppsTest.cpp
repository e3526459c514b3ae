// The workspace and application ports on a real X server with openbox. GIO
// reads the XDG directories once per process: the environment below sets
// them before anything here loads a desktop entry. Launching an entry and
// following its window is X11HostTest's.
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/linux/GioApplicationIndex.h"
#include "OrvaneMac/platform/x11/apps/X11Applications.h"
#include "OrvaneMac/platform/x11/apps/X11Workspace.h"
#include "tests/support/TempDir.h"
#include "tests/support/x11/MainLoop.h"
#include "tests/support/x11/XServer.h"

namespace orvane::x11 {
namespace {

namespace fs = std::filesystem;

// An entry for the test client, whose windows it then names, and a hidden one.
class XdgDirectories : public ::testing::Environment {
 public:
  static inline test::TempDir* root = nullptr;

  void SetUp() override {
    test::sharedXServer();  // first: openbox finds its theme through the real XDG directories
    root = new test::TempDir;
    fs::create_directories(root->path / "applications");
    ::setenv("XDG_DATA_HOME", root->path.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (root->path / "none").c_str(), 1);
    std::ofstream(entryPath()) << "[Desktop Entry]\nType=Application\nName=Launch Test\nExec="
                               << test::TestClient::executablePath() << " --title Launched\n";
    std::ofstream(root->path / "applications" / "hidden.desktop")
        << "[Desktop Entry]\nType=Application\nName=Hidden\nNoDisplay=true\nExec=true\n";
  }
  void TearDown() override { delete root; }
  static std::string entryPath() { return (root->path / "applications" / "org.orvane.LaunchTest.desktop").string(); }
};

const auto* const kXdg = ::testing::AddGlobalTestEnvironment(new XdgDirectories);

test::TestClient::Options window(std::string title, int x) {
  return {.title = std::move(title), .x = x, .y = 10, .width = 300, .height = 200, .pattern = false, .extraArgs = {}};
}

TEST(X11AppsTest, ActivationsAreReportedWithThePidAndOncePerActivationOfOurOwnWindows) {
  auto x = X11Display::open();
  ASSERT_NE(x, nullptr);
  x->attachToMainLoop();
  CapturingLogSink log;
  X11Workspace workspace{*x};
  X11Applications apps{*x, X11Applications::Options{}, log};
  // Until the active window belongs to `pid`, and every event up to that
  // point has reached the ports: the reply that showed it came after them.
  const auto frontIs = [&](std::int32_t pid) {
    if (!test::runMainLoopUntil([&] { return workspace.frontmostApplicationPID() == pid; })) return false;
    x->dispatchPending();
    return true;
  };
  test::TestClient first(window("First", 10)), second(window("Second", 400));
  ASSERT_TRUE(frontIs(second.pid()));
  X11Applications::Options own;
  own.ownPid = first.pid();  // its windows stand for this process's own
  X11Applications self{*x, own, log};
  int becameActive = 0;
  auto became = self.observeDidBecomeActive([&] { ++becameActive; });

  std::vector<std::optional<std::int32_t>> activations;
  auto subscription = workspace.observeApplicationActivation([&](auto pid) { activations.push_back(pid); });
  ASSERT_TRUE(apps.activate(first.pid(), Applications::kActivateIgnoringOtherApps));
  ASSERT_TRUE(test::runMainLoopUntil([&] { return !activations.empty(); }) && frontIs(first.pid()));
  EXPECT_EQ(activations, std::vector<std::optional<std::int32_t>>{first.pid()});
  EXPECT_EQ(becameActive, 1);

  ASSERT_TRUE(apps.activate(second.pid(), 0));
  ASSERT_TRUE(test::runMainLoopUntil([&] { return activations.size() == 2; }) && frontIs(second.pid()));
  EXPECT_EQ(activations.back(), second.pid());
  EXPECT_EQ(becameActive, 1);
  subscription.reset();
  ASSERT_TRUE(apps.activate(first.pid(), 0));
  ASSERT_TRUE(frontIs(first.pid()));
  EXPECT_EQ(activations.size(), 2u);
  EXPECT_EQ(becameActive, 2);

  EXPECT_EQ(apps.localizedName(first.pid()), "Launch Test") << "the entry whose Exec is its WM_CLASS";
  EXPECT_EQ(apps.localizedName(::getpid()), "x11_apps_tests") << "no window, no entry: the process name";
  EXPECT_EQ(apps.localizedName(999999), std::nullopt);
  EXPECT_FALSE(apps.activate(999999, 0));  // no window, no activation
  EXPECT_FALSE(apps.activate(-1, 0));
  EXPECT_FALSE(apps.openApplication(XdgDirectories::entryPath() + ".missing"));
  EXPECT_EQ(apps.lastLaunch().failure, GioApplicationLauncher::Failure::noSuchEntry);
}

TEST(GioApplicationIndexTest, ListsTheShownEntriesAndADroppedQueryAnswersNothing) {
  ManualExecutor main;
  GioApplicationIndex index{main};
  std::vector<ApplicationIndexItem> items;
  auto query = index.startApplicationQuery([&](std::vector<ApplicationIndexItem> results) { items = results; });
  main.runUntilIdle();
  EXPECT_EQ(items, (std::vector<ApplicationIndexItem>{{XdgDirectories::entryPath(), "Launch Test"}}));
  items.clear();
  query = index.startApplicationQuery([&](std::vector<ApplicationIndexItem> results) { items = results; });
  query.reset();
  main.runUntilIdle();
  EXPECT_TRUE(items.empty());
}

}  // namespace
}  // namespace orvane::x11
