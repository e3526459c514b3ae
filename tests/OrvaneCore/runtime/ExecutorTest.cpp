#include <glib.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneCore/runtime/Locked.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/runtime/Task.h"

using namespace orvane;
using namespace std::chrono_literals;

TEST(ManualExecutor, RunsPostedWorkInOrderOnlyWhenDriven) {
  ManualExecutor exec;
  std::vector<int> order;
  exec.post([&] { order.push_back(1); });
  exec.post([&] {
    order.push_back(2);
    exec.post([&] { order.push_back(4); });  // posted from inside runs after what was queued
  });
  exec.post([&] { order.push_back(3); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(exec.runUntilIdle(), 4u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(ManualExecutor, TimersFireAtTheirDueTimeInVirtualTimeEvenWhenATimerSetsThem) {
  ManualExecutor exec;
  const double start = exec.now();
  std::vector<std::pair<int, double>> fired;
  TimerHandle chained;
  auto late = exec.postAfter(2.05s, [&] { fired.emplace_back(2, exec.now() - start); });
  auto early = exec.postAfter(0.5s, [&] {
    fired.emplace_back(1, exec.now() - start);
    chained = exec.postAfter(1s, [&] { fired.emplace_back(4, exec.now() - start); });
  });
  auto same = exec.postAfter(2.05s, [&] { fired.emplace_back(3, exec.now() - start); });

  exec.advance(2.0s);  // the chained timer fires within the same advance, at its own time
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_DOUBLE_EQ(fired[0].second, 0.5);
  EXPECT_EQ(fired[1].first, 4);
  EXPECT_DOUBLE_EQ(fired[1].second, 1.5);
  exec.advance(0.05s);
  ASSERT_EQ(fired.size(), 4u);
  EXPECT_EQ(fired[2].first, 2);  // equal due times keep scheduling order
  EXPECT_EQ(fired[3].first, 3);
  EXPECT_NEAR(fired[2].second, 2.05, 1e-9);
  EXPECT_NEAR(exec.now() - start, 2.05, 1e-9);
}

TEST(ManualExecutor, CancelledOrDroppedTimersNeverFire) {
  ManualExecutor exec;
  int fired = 0;
  auto cancelled = exec.postAfter(1s, [&] { ++fired; });
  cancelled.cancel();
  { auto dropped = exec.postAfter(1s, [&] { ++fired; }); }
  auto replaced = exec.postAfter(1s, [&] { fired += 10; });
  replaced = exec.postAfter(3s, [&] { fired += 100; });  // reassignment cancels the old one
  EXPECT_EQ(exec.pendingTimers(), 1u);
  exec.advance(10s);
  EXPECT_EQ(fired, 100);
  EXPECT_FALSE(replaced.pending());
}

TEST(ManualExecutor, RunUntilWaitsForWorkPostedByOtherThreads) {
  ManualExecutor exec;
  Locked<int> seen(0);
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i) exec.post([&] { seen.with([](int& v) { ++v; }); });
  });
  EXPECT_TRUE(exec.runUntil([&] { return seen.get() == 100; }, 10s));
  producer.join();
  EXPECT_FALSE(exec.runUntil([] { return false; }, 0.01s));
}

TEST(GLibExecutor, RunsPostsFromOtherThreadsAndTimersOnItsLoop) {
  SystemClock clock;
  GMainContext* context = g_main_context_new();
  {
    GLibExecutor exec(clock, context);
    const auto loopThread = std::this_thread::get_id();
    std::vector<int> order;
    bool allOnLoop = true;
    auto cancelled = exec.postAfter(0.01s, [&] { order.push_back(-1); });
    cancelled.cancel();
    auto timer = exec.postAfter(0.02s, [&] {
      allOnLoop = allOnLoop && std::this_thread::get_id() == loopThread;
      order.push_back(99);
      exec.quit();
    });
    std::thread other([&] {
      for (int i = 0; i < 50; ++i)
        exec.post([&, i] {
          allOnLoop = allOnLoop && std::this_thread::get_id() == loopThread;
          order.push_back(i);
        });
    });
    other.join();
    exec.run();
    ASSERT_EQ(order.size(), 51u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(order.back(), 99);
    EXPECT_TRUE(allOnLoop);
    exec.post([] {});  // left pending: destruction must not leak or run it
  }
  g_main_context_unref(context);
}

TEST(StallMonitor, ACallbackOverTheThresholdIsCountedEachTimeAndLoggedOncePerOrigin) {
  ManualClock clock;
  CapturingLogSink sink;
  StallMonitor monitor(clock, 0.02s, sink);
  const auto origin = SourceOrigin::current();
  monitor.run(origin, [&] { clock.advance(0.015s); });
  EXPECT_EQ(monitor.stalls(), 0u);
  monitor.run(origin, [&] { clock.advance(0.025s); });
  monitor.run(origin, [&] { clock.advance(0.5s); });
  EXPECT_EQ(monitor.stalls(), 2u);
  ASSERT_EQ(sink.messages().size(), 1u);
  EXPECT_NE(sink.messages()[0].find("ExecutorTest.cpp:" + std::to_string(origin.line())), std::string::npos)
      << sink.messages()[0];

  StallMonitor off(clock, std::nullopt, sink);
  off.run(origin, [&] { clock.advance(1s); });
  EXPECT_EQ(off.stalls(), 0u);

  EXPECT_EQ(StallMonitor::thresholdFrom(nullptr), StallMonitor::kDefaultThreshold);
  EXPECT_EQ(StallMonitor::thresholdFrom("0"), std::nullopt);
  EXPECT_EQ(StallMonitor::thresholdFrom("50"), Seconds(0.05));
  EXPECT_EQ(StallMonitor::thresholdFrom("-5"), StallMonitor::kDefaultThreshold);
  EXPECT_EQ(StallMonitor::thresholdFrom("20ms"), StallMonitor::kDefaultThreshold);
}

// A stall inside a task names where the task was spawned, not the executor's
// own machinery; timers are measured as well as posts.
TEST(StallMonitor, ExecutorsTimeTheirCallbacksAndNameTheSpawnSite) {
  ManualClock stallClock;
  CapturingLogSink sink;
  GMainContext* context = g_main_context_new();
  {
    GLibExecutor exec(stallClock, context, 0.02s, sink);
    bool done = false;
    const auto line = SourceOrigin::current().line() + 1;
    spawnDetached(exec, [&]() -> Task<void> {
      stallClock.advance(0.03s);
      done = true;
      co_return;
    });
    while (!done) g_main_context_iteration(context, TRUE);
    EXPECT_EQ(exec.stalls(), 1u);
    ASSERT_EQ(sink.messages().size(), 1u);
    EXPECT_NE(sink.messages()[0].find("ExecutorTest.cpp:" + std::to_string(line)), std::string::npos)
        << sink.messages()[0];
  }
  g_main_context_unref(context);

  ManualExecutor manual(&stallClock, 0.02s);
  manual.post([&] { stallClock.advance(0.01s); });
  auto timer = manual.postAfter(1s, [&] { stallClock.advance(0.05s); });
  manual.advance(2s);
  EXPECT_EQ(manual.stalls(), 1u);
}

TEST(Executor, IsOnOnlyOnTheThreadThatRunsItsCallbacks) {
  ManualExecutor manual;
  SystemClock clock;
  GMainContext* context = g_main_context_new();
  GLibExecutor glib(clock, context);
  EXPECT_TRUE(manual.isOn());
  EXPECT_TRUE(glib.isOn());
  bool manualElsewhere = true, glibElsewhere = true;
  std::thread([&] {
    manualElsewhere = manual.isOn();
    glibElsewhere = glib.isOn();
  }).join();
  EXPECT_FALSE(manualElsewhere);
  EXPECT_FALSE(glibElsewhere);
  manual.checkOn();
  EXPECT_DEATH(std::thread([&] { ORVANE_ASSERT_ON(manual); manual.checkOn(); }).join(), "off its executor's thread");
  g_main_context_unref(context);
}
