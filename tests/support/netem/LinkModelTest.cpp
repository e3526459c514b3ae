#include "tests/support/netem/LinkModel.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

std::vector<std::uint8_t> packet(std::size_t bytes) { return std::vector<std::uint8_t>(bytes); }

// The figures the impaired-network tests rely on: a bottleneck passes its rate
// and never queues longer than its limit; loss is near its fraction; delay
// keeps order; an outage drops what is on the wire too.
TEST(LinkModel, BottleneckLossDelayAndOutageBehaveAsConfigured) {
  LinkModel capped(1);
  capped.configure({.rateBitsPerSecond = 1'000'000, .queueSeconds = 0.1});
  // 2 Mbit/s offered for 1 s into 1 Mbit/s: half passes, the rest is dropped at the queue.
  std::size_t delivered = 0;
  double worstWait = 0;
  for (int i = 0; i < 2000; ++i) {
    const double now = i * 0.0005;
    capped.send(packet(125), now);
    delivered += capped.deliver(now).size();
    if (auto at = capped.nextDelivery()) worstWait = std::max(worstWait, *at - now);
  }
  delivered += capped.deliver(2.0).size();
  EXPECT_NEAR(double(delivered), 1000 + 100, 20);  // 1 s at the rate plus the 0.1 s queue
  EXPECT_LE(worstWait, 0.1 + 0.001 + 1e-9);
  EXPECT_GT(capped.counters().queueDrops, 850u);

  LinkModel lossy(7);
  lossy.configure({.loss = 0.02, .delaySeconds = 0.02});
  for (int i = 0; i < 20000; ++i) lossy.send(packet(1), i * 0.001);
  EXPECT_TRUE(lossy.deliver(19.9 + 0.02 - 0.0005).size() < 20000u);
  EXPECT_NEAR(double(lossy.counters().lost) / 20000, 0.02, 0.005);

  LinkModel broken(3);
  broken.configure({.delaySeconds = 0.05});
  broken.send(packet(1), 0);
  broken.configure({.delaySeconds = 0.05, .up = false});
  EXPECT_FALSE(broken.send(packet(1), 0.01));
  EXPECT_TRUE(broken.deliver(1).empty());
  EXPECT_EQ(broken.counters().outageDrops, 2u);
}

}  // namespace
}  // namespace orvane::test
