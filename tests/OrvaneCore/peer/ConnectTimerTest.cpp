#include "OrvaneCore/peer/ConnectTimer.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

class ConnectTimerTest : public ::testing::Test {
 protected:
  ManualClock clock;
  CapturingLogSink sink;
  ConnectTimer timer{"webSocket", clock, sink};
};

TEST_F(ConnectTimerTest, LogsOneInfoLinePerMeasurement) {
  timer.connected();
  EXPECT_TRUE(sink.records().empty());
  timer.start();
  clock.advance(Seconds(1.25));
  timer.connected();
  timer.connected();
  const auto records = sink.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, LogLevel::Info);
  EXPECT_EQ(records[0].subsystem, "com.kelbrin.Orvane.Core");
  EXPECT_EQ(records[0].category, "timing");
  EXPECT_EQ(records[0].message, "backend=webSocket connect=1250ms");
}

TEST_F(ConnectTimerTest, RestartMeasuresFromTheLastStartAndTruncatesTowardZero) {
  timer.start();
  clock.advance(Seconds(3));
  timer.start();
  clock.advance(Seconds(0.9999));
  timer.connected();
  // A wall clock set back during the attempt: toward zero, not down.
  timer.start();
  clock.advance(Seconds(-1.5009));
  timer.connected();
  EXPECT_EQ(sink.messages(), (std::vector<std::string>{"backend=webSocket connect=999ms",
                                                       "backend=webSocket connect=-1500ms"}));
}

}  // namespace
}  // namespace orvane
