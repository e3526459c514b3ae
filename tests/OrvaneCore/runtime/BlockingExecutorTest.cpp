#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/BlockingExecutor.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/support/Await.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

// A gate a blocked job waits at until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace

TEST(BlockingExecutor, TheTaskWaitsOffItsExecutorAndResumesOnItWithTheValueOrError) {
  ManualExecutor exec;
  BlockingExecutor blocking;
  const auto mainThread = std::this_thread::get_id();
  std::thread::id workThread, resumedOn;
  auto value = test::await(exec, [&]() -> Task<int> {
    const int got = co_await blocking.run([&] {
      workThread = std::this_thread::get_id();
      return 42;
    });
    resumedOn = std::this_thread::get_id();
    co_return got;
  }());
  EXPECT_EQ(value, 42);
  EXPECT_NE(workThread, mainThread);
  EXPECT_EQ(resumedOn, mainThread);

  EXPECT_THROW(test::await(exec, blocking.run([]() -> void { throw std::runtime_error("busy"); })),
               std::runtime_error);
}

TEST(BlockingExecutor, OneThreadRunsJobsInOrderAndNoneStaysOnceIdle) {
  std::vector<int> order;
  {
    BlockingExecutor blocking;
    Gate gate;
    blocking.post([&] { gate.wait(); });
    for (int i = 0; i < 20; ++i) blocking.post([&order, i] { order.push_back(i); });
    EXPECT_EQ(blocking.threadCount(), 1u);
    gate.open();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (blocking.threadCount() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(blocking.threadCount(), 0u);
    blocking.post([&order] { order.push_back(20); });  // a new thread for new work; destruction waits for it
  }
  ASSERT_EQ(order.size(), 21u);
  for (int i = 0; i <= 20; ++i) EXPECT_EQ(order[std::size_t(i)], i);
}

// Cancellation cannot stop blocking work, but the task need not wait for it.
TEST(BlockingExecutor, ACancelledTaskEndsAtOnceWhileItsJobRunsToItsEnd) {
  ManualExecutor exec;
  BlockingExecutor blocking;
  Gate gate;
  std::atomic<bool> jobEnded{false};
  bool resumedNormally = false;
  TaskHandle handle = spawn(exec, [&]() -> Task<void> {
    co_await blocking.run([&] {
      gate.wait();
      jobEnded = true;
    });
    resumedNormally = true;
  });
  exec.runUntilIdle();
  EXPECT_TRUE(handle.running());
  handle.cancel();
  exec.runUntilIdle();
  EXPECT_FALSE(jobEnded);
  gate.open();
  EXPECT_TRUE(exec.runUntil([&] { return jobEnded.load(); }, 5s));
  exec.runUntilIdle();
  EXPECT_FALSE(resumedNormally);
}

// A job may drop the last owner of the executor running it (a store freed by
// the task it completes): that thread is let go instead of joined.
TEST(BlockingExecutor, ItMayBeDestroyedByItsOwnJob) {
  std::atomic<bool> destroyed{false};
  std::shared_ptr<BlockingExecutor> blocking(new BlockingExecutor(), [&](BlockingExecutor* p) {
    delete p;
    destroyed = true;
  });
  Gate gate;
  std::atomic<bool> queuedRan{false};
  blocking->post([&gate, keep = blocking] { gate.wait(); });
  blocking->post([&queuedRan] { queuedRan = true; });  // still runs, after its executor went
  blocking.reset();
  gate.open();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!(destroyed && queuedRan) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(queuedRan);
}

// A result that comes from another thread after the task's executor is gone
// (its owner destroyed it first) resumes nothing and frees the task.
TEST(BlockingExecutor, AResultAfterTheExecutorIsGoneIsDropped) {
  BlockingExecutor blocking;
  Gate gate;
  bool resumed = false;
  auto exec = std::make_unique<ManualExecutor>();
  spawnDetached(*exec, [&]() -> Task<void> {
    co_await blocking.run([&] { gate.wait(); });
    resumed = true;
  });
  exec->runUntilIdle();
  exec.reset();
  gate.open();
}
