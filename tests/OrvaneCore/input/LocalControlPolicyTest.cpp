#include "OrvaneCore/input/LocalControlPolicy.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LocalControlPolicyTest, FreshPolicyAllowsInjectionAtAnyUptime) {
  const LocalControlPolicy policy;
  EXPECT_EQ(policy.lastLocalInputAt(), -1.7976931348623157e308);
  for (double now : {0.0, 1.0, 2.0, 1e300, std::numeric_limits<double>::max()}) {
    EXPECT_TRUE(policy.allowsInjection(now)) << now;
  }
}

TEST(LocalControlPolicyTest, GraceWindowBoundary) {
  for (double at : {0.0, 1000.0}) {
    LocalControlPolicy policy;
    policy.noteLocalInput(at);
    EXPECT_TRUE(policy.isLocalRecentlyActive(at));
    EXPECT_FALSE(policy.allowsInjection(at + 1.999)) << at;
    EXPECT_FALSE(policy.isLocalRecentlyActive(at + 2.0)) << at;
    EXPECT_TRUE(policy.allowsInjection(at + 2.0)) << at;
  }
  LocalControlPolicy shortGrace(0.5);
  shortGrace.noteLocalInput(100.0);
  EXPECT_FALSE(shortGrace.localHasControl(100.5));
}

TEST(LocalControlPolicyTest, EmergencyStopOverridesTime) {
  LocalControlPolicy policy;
  policy.setInjectionDisabled(true);
  EXPECT_FALSE(policy.allowsInjection(1e9));
  EXPECT_FALSE(policy.isLocalRecentlyActive(1e9)) << "the stop is not local activity";
}

TEST(LocalControlPolicyTest, NonFiniteValuesCannotWedgeInjection) {
  for (double bad : {kInf, -kInf, kNaN}) {
    LocalControlPolicy policy(bad);
    EXPECT_EQ(policy.graceWindow(), 2.0);
    policy.setGraceWindow(bad);
    policy.noteLocalInput(50.0);
    policy.noteLocalInput(bad);
    EXPECT_EQ(policy.lastLocalInputAt(), 50.0) << bad;
    EXPECT_TRUE(policy.localHasControl(51.0)) << bad;
    EXPECT_TRUE(policy.allowsInjection(52.0)) << bad;
  }
}

}  // namespace
}  // namespace orvane
