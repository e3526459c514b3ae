#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/runtime/Task.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

Task<int> delayedValue(int value, Seconds delay) {
  co_await sleepFor(delay);
  co_return value;
}

Task<int> failing() {
  co_await sleepFor(1s);
  throw std::runtime_error("offer failed");
}

}  // namespace

TEST(Task, AwaitsChildrenAndSleepsOnTheExecutorClock) {
  ManualExecutor exec;
  const double start = exec.now();
  std::vector<std::pair<int, double>> steps;
  auto handle = spawn(exec, [&]() -> Task<void> {
    int a = co_await delayedValue(1, 0.5s);
    steps.emplace_back(a, exec.now() - start);
    int b = co_await delayedValue(2, 8s);
    steps.emplace_back(b, exec.now() - start);
  });
  EXPECT_TRUE(steps.empty());  // spawn never runs inline
  exec.advance(0.5s);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_DOUBLE_EQ(steps[0].second, 0.5);
  exec.advance(7.9s);
  EXPECT_EQ(steps.size(), 1u);
  exec.advance(0.1s);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1].first, 2);
  EXPECT_NEAR(steps[1].second, 8.5, 1e-9);
  EXPECT_FALSE(handle.running());
  EXPECT_EQ(handle.error(), nullptr);
}

TEST(Task, ErrorsPropagateToTheAwaiterAndToTheHandle) {
  ManualExecutor exec;
  std::string caught;
  auto caller = spawn(exec, [&]() -> Task<void> {
    try {
      co_await failing();
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  auto rethrowing = spawn(exec, []() -> Task<void> { co_await failing(); });
  exec.advance(1s);
  EXPECT_EQ(caught, "offer failed");
  ASSERT_NE(rethrowing.error(), nullptr);
  EXPECT_THROW(std::rethrow_exception(rethrowing.error()), std::runtime_error);
}

TEST(Task, CancellationWakesASleepAndNothingAfterItRuns) {
  ManualExecutor exec;
  bool after = false, cleanedUp = false;
  auto handle = spawn(exec, [&]() -> Task<void> {
    try {
      co_await sleepFor(20s);
      after = true;
    } catch (const TaskCancelled&) {
      cleanedUp = true;
      throw;
    }
  });
  exec.advance(1s);
  handle.cancel();
  exec.runUntilIdle();  // woken at once, not at the 20 s deadline
  EXPECT_TRUE(cleanedUp);
  EXPECT_FALSE(after);
  EXPECT_EQ(exec.pendingTimers(), 0u);
  exec.advance(30s);
  EXPECT_FALSE(after);
}

TEST(Task, DroppingTheHandleCancelsButDetachedTasksRunOn) {
  ManualExecutor exec;
  int runs = 0;
  auto body = [&]() -> Task<void> {
    co_await sleepFor(1s);
    ++runs;
  };
  { auto dropped = spawn(exec, body()); }
  spawnDetached(exec, body());
  exec.advance(2s);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(exec.pendingTimers(), 0u);
}

TEST(OneShot, ResolvedFromAnotherThreadResumesOnTheExecutor) {
  ManualExecutor exec;
  auto [resolver, shot] = makeOneShot<std::string>();
  std::string got;
  std::thread::id resumedOn;
  auto handle = spawn(exec, [&, shot = shot]() -> Task<void> {
    got = co_await shot;
    resumedOn = std::this_thread::get_id();
  });
  exec.runUntilIdle();
  std::thread producer([r = resolver] { r.resolve("hosts"); });
  producer.join();
  EXPECT_TRUE(got.empty());  // resumption is posted, never inline on the producer
  EXPECT_FALSE(resolver.resolve("second"));
  exec.runUntilIdle();
  EXPECT_EQ(got, "hosts");
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

TEST(OneShot, AlreadySettledFailedBrokenOrCancelled) {
  ManualExecutor exec;
  std::vector<std::string> outcomes;
  auto record = [&](OneShot<int> shot) -> Task<void> {
    try {
      outcomes.push_back(std::to_string(co_await shot));
    } catch (const BrokenPromise&) {
      outcomes.push_back("broken");
    } catch (const TaskCancelled&) {
      outcomes.push_back("cancelled");
      throw;
    } catch (const std::exception& e) {
      outcomes.push_back(e.what());
    }
  };

  auto [early, earlyShot] = makeOneShot<int>();
  early.resolve(7);
  auto a = spawn(exec, record(earlyShot));
  exec.runUntilIdle();

  auto [failing, failingShot] = makeOneShot<int>();
  auto b = spawn(exec, record(failingShot));
  exec.runUntilIdle();
  failing.fail(std::make_exception_ptr(std::runtime_error("timeout")));
  exec.runUntilIdle();

  {
    auto [dropped, droppedShot] = makeOneShot<int>();
    auto c = spawn(exec, record(droppedShot));
    c.detach();
    exec.runUntilIdle();
  }  // last resolver gone without a value
  exec.runUntilIdle();

  auto [never, neverShot] = makeOneShot<int>();
  auto d = spawn(exec, record(neverShot));
  exec.runUntilIdle();
  d.cancel();
  exec.runUntilIdle();

  EXPECT_EQ(outcomes, (std::vector<std::string>{"7", "timeout", "broken", "cancelled"}));
}

TEST(Task, TaskThatCanNeverResumeIsFreedWithItsExecutor) {
  // Run under ASan: the suspended frame must not leak when its timer dies.
  auto exec = std::make_unique<ManualExecutor>();
  auto keep = std::make_shared<int>(5);
  std::weak_ptr<int> watch = keep;
  spawnDetached(*exec, [](std::shared_ptr<int> held) -> Task<void> {
    co_await sleepFor(1000s);
    ++*held;
  }(std::move(keep)));
  exec->runUntilIdle();
  EXPECT_FALSE(watch.expired());
  exec.reset();
  EXPECT_TRUE(watch.expired());
}
