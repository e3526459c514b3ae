// The encoder's rate against what receivers report, in virtual time.

#include "OrvaneCore/peer/gst/BitrateController.h"

#include <gtest/gtest.h>

#include <algorithm>

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
}

// A 4 Mbit/s bottleneck with a 300 ms drop-tail queue, fed with what the
// encoder is allowed (a moving screen fills any rate): the queue drains and
// stays short, and most of the link is used.
TEST(BitrateController, SettlesUnderABottleneckWithAShortQueue) {
  constexpr double kLinkBps = 4e6, kBaseRtt = 0.040, kQueueLimit = 0.3, kStep = 0.2;
  BitrateController c(kRange);
  double queueBits = 0, worstLateQueue = 0, deliveredLate = 0;
  for (double t = 0; t < 30; t += kStep) {
    const double offered = c.targetBps() * kStep;
    const double room = kLinkBps * (kQueueLimit + kStep) - queueBits;
    const double accepted = std::clamp(room, 0.0, offered);
    queueBits = std::max(0.0, queueBits + accepted - kLinkBps * kStep);
    const double loss = offered > 0 ? 1 - accepted / offered : 0;
    c.onReport({loss, kBaseRtt + queueBits / kLinkBps, offered / kStep}, t);
    if (t >= 10) {
      worstLateQueue = std::max(worstLateQueue, queueBits / kLinkBps);
      deliveredLate += std::min(accepted + queueBits, kLinkBps * kStep);
    }
  }
  EXPECT_LT(worstLateQueue, 0.1);
  EXPECT_GT(deliveredLate / (20 * kLinkBps), 0.6);
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
