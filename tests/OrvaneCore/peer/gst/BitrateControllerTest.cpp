// The encoder's rate against what receivers report, in virtual time.

#include "OrvaneCore/peer/gst/BitrateController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace orvane::rtc {
namespace {

constexpr BitrateController::Range kRange{8'000'000, 12'000'000, 250'000};

TEST(BitrateController, CutsOnLossOrQueueingOnceASecondHoldsInBetweenAndNeverGoesBelowTheFloor) {
  BitrateController c(kRange);
  EXPECT_EQ(c.targetBps(), 12'000'000);
  c.onReport({0, 0.040, 12e6}, 0.0);
  // 60 % lost: aim below what got through; 15 % lost: halve the excess.
  EXPECT_EQ(c.onReport({0.6, 0.300, 12e6}, 0.2), int(12e6 * 0.4 * 0.9));
  EXPECT_EQ(c.onReport({0.6, 0.300, 12e6}, 0.4), int(12e6 * 0.4 * 0.9)) << "a second cut within a second";
  EXPECT_EQ(c.onReport({0.15, 0.300, 4e6}, 1.4), int(4e6 * 0.925));
  // A round trip grown by queueing, no loss: cut from what was sent.
  EXPECT_EQ(c.onReport({0, 0.140, 3e6}, 2.5), int(3e6 * 0.85));
  // Between clean and congested (5 % loss): held.
  EXPECT_EQ(c.onReport({0.05, 0.045, 3e6}, 2.7), int(3e6 * 0.85));
  // The first report after 3 s without any counts an outage's losses: no cut.
  EXPECT_EQ(c.onReport({0.9, 0.045, 0}, 5.7), int(3e6 * 0.85));
  for (double t = 6; t < 20; t += 1.1) c.onReport({1.0, 0.040, 1e5}, t);
  EXPECT_EQ(c.targetBps(), kRange.floorBps);
}

TEST(BitrateController, ClimbsBackFastFarFromWhereTheLinkGaveWaySlowlyNearItAndOnlyWhileTheEncoderFillsIt) {
  BitrateController c(kRange);
  c.onReport({0, 0.040, 12e6}, 0);
  EXPECT_EQ(c.onReport({0, 0.140, 4e6}, 1), kRange.maxBps) << "one late report is no queue";
  const int cut = c.onReport({0, 0.140, 4e6}, 1.2);  // gave way with 4 Mbit/s sent
  EXPECT_EQ(cut, int(6e6 * 0.85)) << "one cut takes at most half";
  // Within 20 % above where it gave way: 2 %/s.
  EXPECT_EQ(c.onReport({0, 0.040, double(cut)}, 2.2), int(cut * 1.02));
  // A still screen (sending little) proves nothing about the link.
  EXPECT_EQ(c.onReport({0, 0.040, 0.2e6}, 3.2), int(cut * 1.02));
  for (double t = 4; t < 40; t += 1) c.onReport({0, 0.040, double(c.targetBps())}, t);
  // Past 7.2 Mbit/s it climbs at 10 %/s, to the top of the range.
  EXPECT_EQ(c.targetBps(), kRange.maxBps);

  // What got through while a queue overflowed may say too little of the link:
  // for 20 s after a cut the climb stays slow even past that mark.
  BitrateController after(kRange);
  after.onReport({0, 0.040, 12e6}, 0);
  after.onReport({0.6, 0.300, 12e6}, 0.2);  // gave way at 4.8 Mbit/s, target 4.32
  for (double t = 0.7; t < 20; t += 0.5) after.onReport({0, 0.040, double(after.targetBps())}, t);
  EXPECT_LT(after.targetBps(), 4.32e6 * 1.5);
}

// A 4 Mbit/s bottleneck with a 300 ms drop-tail queue. The encoder sends what
// the screen needs up to its target, frame by frame; reports come every
// 200–350 ms with up to 20 ms of noise in the round trip. Returns the 95th
// percentile of the queue from 15 s on and the share of the link used then.
struct BottleneckRun {
  double queueP95Seconds = 0;
  double linkUse = 0;
};
template <typename ScreenBps>
BottleneckRun runBottleneck(ScreenBps screenBpsAt, std::uint32_t seed) {
  constexpr double kLinkBps = 4e6, kBaseRtt = 0.040, kQueueLimit = 0.3, kTick = 0.01, kUntil = 40, kFrom = 15;
  std::mt19937 rng(seed);
  const auto uniform = [&rng] { return rng() / 4294967296.0; };  // the same sequence on every library
  BitrateController c(kRange);
  double queueBits = 0, sentBits = 0, acceptedBits = 0, delivered = 0, lastReport = 0, nextFrame = 0, nextReport = 0.02;
  std::vector<double> queues;
  for (double t = 0; t < kUntil; t += kTick) {
    if (t >= nextFrame) {
      nextFrame += 1.0 / 30;
      const double bits = std::min<double>(c.targetBps(), screenBpsAt(t)) / 30 * (0.8 + 0.4 * uniform());
      const double accepted = std::min(bits, std::max(0.0, kLinkBps * kQueueLimit - queueBits));
      queueBits += accepted;
      sentBits += bits;
      acceptedBits += accepted;
    }
    const double out = std::min(queueBits, kLinkBps * kTick);
    queueBits -= out;
    if (t >= nextReport) {
      const double loss = sentBits > 0 ? 1 - acceptedBits / sentBits : 0;
      c.onReport({loss, kBaseRtt + queueBits / kLinkBps + 0.02 * uniform(), sentBits / (t - lastReport)}, t);
      lastReport = t;
      nextReport += 0.2 + 0.15 * uniform();
      sentBits = acceptedBits = 0;
    }
    if (t >= kFrom) {
      queues.push_back(queueBits / kLinkBps);
      delivered += out;
    }
  }
  std::sort(queues.begin(), queues.end());
  return {queues[queues.size() * 95 / 100], delivered / (kLinkBps * (kUntil - kFrom))};
}

// A moving screen fills any rate: the queue drains and stays short.
// A screen whose needs change every 2 s is the harder case: an easy stretch
// must not let the target run ahead of what the link carried, or the next
// hard one floods the queue; nor may the cuts that drain a queue lower the
// rate the target then approaches slowly.
TEST(BitrateController, KeepsTheQueueShortUnderABottleneckWhateverTheScreenSends) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    const auto moving = runBottleneck([](double) { return 20e6; }, seed);
    EXPECT_LT(moving.queueP95Seconds, 0.08) << "seed " << seed;
    EXPECT_GT(moving.linkUse, 0.75) << "seed " << seed;
    std::mt19937 scenes(seed);
    std::vector<double> needs;
    for (int i = 0; i < 20; ++i) needs.push_back(2e6 + 6e6 * (scenes() / 4294967296.0));
    const auto changing = runBottleneck([&](double t) { return needs[std::size_t(t / 2)]; }, seed);
    EXPECT_LT(changing.queueP95Seconds, 0.08) << "seed " << seed;
    EXPECT_GT(changing.linkUse, 0.6) << "seed " << seed;
  }
}

TEST(BitrateController, RoundTripFromAReportBlock) {
  EXPECT_EQ(roundTripSeconds(0x0001'8000, 0x0001'0000, 0x0000'4000), 0.25);
  // The middle 32 bits of NTP time wrap; the difference still holds.
  EXPECT_EQ(roundTripSeconds(0x0000'1000, 0xFFFF'F000, 0), 0x2000 / 65536.0);
  EXPECT_FALSE(roundTripSeconds(0x1234'0000, 0, 0)) << "answers no sender report";
  EXPECT_FALSE(roundTripSeconds(0x0001'0000, 0x0002'0000, 0)) << "a report from the future: clocks disagree";
}

}  // namespace
}  // namespace orvane::rtc
