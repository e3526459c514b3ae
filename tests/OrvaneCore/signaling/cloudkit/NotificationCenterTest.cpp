// The notification centre the record store's push goes through: delivery by name and queue, and removal.
#include "OrvaneCore/runtime/NotificationCenter.h"

#include <gtest/gtest.h>

#include <thread>

#include "OrvaneCore/runtime/ManualExecutor.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

TEST(NotificationCenter, DeliversByNameOnTheObserversQueueUntilRemoved) {
  ManualExecutor exec;
  NotificationCenter center;
  int queued = 0, direct = 0, other = 0;
  auto onQueue = center.addObserver("push", &exec, [&] { ++queued; });
  auto inline_ = center.addObserver("push", nullptr, [&] { ++direct; });
  auto unrelated = center.addObserver("other", &exec, [&] { ++other; });

  std::thread poster([&] { center.post("push"); });
  poster.join();
  EXPECT_EQ(direct, 1);  // on the posting thread
  EXPECT_EQ(queued, 0);  // waits for the executor
  exec.runUntilIdle();
  EXPECT_EQ(queued, 1);
  EXPECT_EQ(other, 0);

  center.post("push");
  onQueue.reset();  // removed after the post was queued: the call is dropped
  exec.runUntilIdle();
  EXPECT_EQ(queued, 1);
  EXPECT_FALSE(onQueue.active());
  EXPECT_TRUE(unrelated.active());
}

TEST(NotificationCenter, ObserversMayOutliveTheCentreAndRemoveThemselvesWhileCalled) {
  NotificationCenter::Observation survivor;
  {
    NotificationCenter center;
    NotificationCenter::Observation self;
    int calls = 0;
    self = center.addObserver("x", nullptr, [&] {
      ++calls;
      self.reset();
    });
    center.post("x");
    center.post("x");
    EXPECT_EQ(calls, 1);
    survivor = center.addObserver("x", nullptr, [] {});
  }
  EXPECT_FALSE(survivor.active());
  survivor.reset();  // the centre is gone: nothing to do, nothing to crash
}

}  // namespace
}  // namespace orvane
