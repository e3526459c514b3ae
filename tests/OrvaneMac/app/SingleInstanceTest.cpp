#include "OrvaneMac/app/SingleInstance.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/support/TempDir.h"
#include "tests/support/x11/ChildProcess.h"

namespace orvane::app {
namespace {

using namespace std::chrono_literals;

// One copy of the host as a real process, registered with `launchTime`.
struct Copy {
  Copy(const test::TempDir& dir, std::uint64_t launchTime)
      : process({{ORVANE_SINGLE_INSTANCE_PROBE, dir.path.string(), std::to_string(launchTime)}}) {}
  test::ChildProcess process;
};

bool registered(const test::TempDir& dir, pid_t pid) { return std::filesystem::exists(dir.path / std::to_string(pid)); }

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(SingleInstanceTest, TheOlderCopyQuitsWithinAboutASecondOfANewerOne) {
  test::TempDir dir;
  Copy older(dir, 100);
  ASSERT_TRUE(waitFor([&] { return registered(dir, older.process.pid()); }, 5s));
  Copy newer(dir, 200);
  ASSERT_TRUE(waitFor([&] { return registered(dir, newer.process.pid()); }, 5s));
  const auto seen = std::chrono::steady_clock::now();

  EXPECT_TRUE(waitFor([&] { return !older.process.running(); }, 2500ms)) << older.process.describeStatus();
  EXPECT_LT(std::chrono::steady_clock::now() - seen, 2s);
  EXPECT_FALSE(registered(dir, older.process.pid())) << "a copy that quits takes its record with it";
  EXPECT_TRUE(newer.process.running());
}

TEST(SingleInstanceTest, CopiesLaunchedAtTheSameTimeBothStay) {
  test::TempDir dir;
  Copy first(dir, 300);
  Copy second(dir, 300);
  ASSERT_TRUE(waitFor([&] { return registered(dir, first.process.pid()) && registered(dir, second.process.pid()); }, 5s));
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(first.process.running());
  EXPECT_TRUE(second.process.running());
}

// Records left by a crashed copy, or whose pid now names another program,
// must not make a running host quit.
TEST(SingleInstanceTest, RecordsOfGoneCopiesAreIgnoredAndRemoved) {
  test::TempDir dir;
  ManualExecutor main;
  int quits = 0;
  SingleInstance::Options options;
  options.directory = dir.path;
  options.launchTime = 100;
  SingleInstance instance(main, options, [&] { ++quits; });
  ASSERT_TRUE(instance.start());

  const pid_t parent = ::getppid();  // alive, but not the copy the record names
  std::ofstream(dir.path / std::to_string(parent)) << parent << " 999 " << *processStartTicks(parent) + 1 << "\n";
  std::ofstream(dir.path / "1") << "garbage\n";
  std::ofstream(dir.path / "notapid") << "1 999 1\n";
  main.advance(Seconds(SingleInstance::kCheckIntervalSeconds));
  EXPECT_EQ(quits, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path / std::to_string(parent)));

  std::ofstream(dir.path / std::to_string(parent)) << parent << " 999 " << *processStartTicks(parent) << "\n";
  main.advance(Seconds(SingleInstance::kCheckIntervalSeconds));
  EXPECT_EQ(quits, 1) << "a live newer copy is obeyed";
}

}  // namespace
}  // namespace orvane::app
