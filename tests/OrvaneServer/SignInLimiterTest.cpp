// Failed sign-ins per source address in virtual time: the burst, refusal until the bucket refills, other sources
// untouched, one log line per source and window, and a bounded memory of sources.
#include <gtest/gtest.h>

#include "OrvaneServer/SignInLimiter.h"

using namespace orvane;
using namespace orvane::server;

namespace {

TEST(SignInLimiterTest, ASourceIsRefusedAfterItsBurstUntilItsBucketRefillsOthersAreNot) {
  ManualClock clock;
  SignInLimiter limiter(clock, SignInLimits{0.5, 3, 100, 60});
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(limiter.wait("10.0.0.1")) << i;
    limiter.failed("10.0.0.1");
  }
  ASSERT_TRUE(limiter.wait("10.0.0.1"));
  EXPECT_DOUBLE_EQ(*limiter.wait("10.0.0.1"), 2.0);
  EXPECT_FALSE(limiter.wait("10.0.0.2"));

  // Refused attempts keep it waiting no longer than the refill takes.
  clock.advance(Seconds(1));
  limiter.failed("10.0.0.1");
  EXPECT_DOUBLE_EQ(*limiter.wait("10.0.0.1"), 1.0);
  clock.advance(Seconds(1));
  EXPECT_FALSE(limiter.wait("10.0.0.1"));
  limiter.failed("10.0.0.1");
  EXPECT_TRUE(limiter.wait("10.0.0.1"));
}

TEST(SignInLimiterTest, FailuresAreLoggedOncePerSourceAndWindowWithTheirCount) {
  ManualClock clock;
  SignInLimiter limiter(clock, SignInLimits{0.5, 3, 100, 60});
  EXPECT_EQ(limiter.failed("a"), 1U);
  EXPECT_EQ(limiter.failed("b"), 1U);
  for (int i = 0; i < 500; ++i) {
    EXPECT_FALSE(limiter.failed("a"));
    clock.advance(Seconds(0.1));
  }
  clock.advance(Seconds(11));
  EXPECT_EQ(limiter.failed("a"), 501U);  // this one and the 500 folded in
  EXPECT_FALSE(limiter.failed("a"));
}

TEST(SignInLimiterTest, RemembersABoundedNumberOfSourcesForgettingQuietOnesFirst) {
  ManualClock clock;
  SignInLimiter limiter(clock, SignInLimits{1, 2, 3, 5});
  limiter.failed("old");
  clock.advance(Seconds(10));  // "old" is forgettable: bucket full, window over
  limiter.failed("x");
  limiter.failed("x");
  clock.advance(Seconds(0.01));
  limiter.failed("y");
  limiter.failed("y");
  clock.advance(Seconds(0.01));
  limiter.failed("z");
  EXPECT_EQ(limiter.sourceCount(), 3U);
  EXPECT_TRUE(limiter.wait("x"));

  // All three still matter: the one whose last failure is oldest goes.
  clock.advance(Seconds(0.1));
  limiter.failed("w");
  EXPECT_EQ(limiter.sourceCount(), 3U);
  EXPECT_FALSE(limiter.wait("x"));
  EXPECT_TRUE(limiter.wait("y"));
  for (int i = 0; i < 10000; ++i) limiter.failed("flood-" + std::to_string(i));
  EXPECT_EQ(limiter.sourceCount(), 3U);
}

}  // namespace
