#include "OrvaneCore/input/LocalControlPolicy.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane {
namespace {

TEST(LocalControlPolicyTest, LocalInputHoldsControlForTheGraceWindowAndTheStopForEver) {
  LocalControlPolicy policy;
  EXPECT_TRUE(policy.allowsInjection(0.0));  // no input yet, even at uptime zero
  for (double at : {0.0, 1000.0}) {
    policy.noteLocalInput(at);
    EXPECT_FALSE(policy.allowsInjection(at + 1.999)) << at;
    EXPECT_TRUE(policy.allowsInjection(at + 2.0)) << at;
  }
  LocalControlPolicy shortGrace(0.5);
  shortGrace.noteLocalInput(100.0);
  EXPECT_TRUE(shortGrace.allowsInjection(100.5));
  policy.setInjectionDisabled(true);
  EXPECT_FALSE(policy.allowsInjection(1e9));
  EXPECT_FALSE(policy.isLocalRecentlyActive(1e9)) << "the stop is not local activity";
}

TEST(LocalControlPolicyTest, NonFiniteValuesCannotWedgeInjection) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double bad : {kInf, -kInf, std::numeric_limits<double>::quiet_NaN()}) {
    LocalControlPolicy policy(bad);
    policy.setGraceWindow(bad);
    policy.noteLocalInput(50.0);
    policy.noteLocalInput(bad);
    EXPECT_TRUE(policy.localHasControl(51.0)) << bad;
    EXPECT_TRUE(policy.allowsInjection(52.0)) << bad;
  }
}

}  // namespace
}  // namespace orvane
