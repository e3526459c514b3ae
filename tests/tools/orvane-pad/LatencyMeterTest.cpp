// orvane-pad's latency reader: delays from codes in decoded frames on a
// virtual wall clock, the host's screen size for scaled pictures, and the
// report's nearest-rank percentiles.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "bench/latency/LatencyCode.h"
#include "tools/orvane-pad/LatencyMeter.h"

namespace orvane::pad {
namespace {

std::uint64_t micros(WallTime time) {
  return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

// A grey I420 picture of `width` x `height` showing a screen of `screenWidth`
// pixels across (same aspect) with `stamp`'s code at its top-left, if any.
struct Picture {
  Picture(int width, int height, int screenWidth, std::optional<latency::LatencyStamp> stamp)
      : y(std::size_t(width) * height, 120), chroma(std::size_t(width) * height / 4, 128) {
    frame.width = width;
    frame.height = height;
    frame.planes = {y.data(), chroma.data(), chroma.data()};
    frame.strides = {width, width / 2, width / 2};
    if (!stamp) return;
    const double scale = double(screenWidth) / width;
    const latency::LatencyBits bits = latency::encodeLatencyCode(*stamp);
    for (int row = 0; row < height && row * scale < latency::kStripHeight; ++row) {
      for (int col = 0; col < width && col * scale < latency::kStripWidth; ++col) {
        const int cellRow = int(row * scale) / latency::kCellPixels, cellCol = int(col * scale) / latency::kCellPixels;
        const int cell = cellRow * latency::kColumns + cellCol;
        y[std::size_t(row) * width + col] = bits[std::size_t(cell)] ? 235 : 16;
      }
    }
  }
  std::vector<std::uint8_t> y, chroma;
  rtc::VideoFrame frame;
};

TEST(LatencyMeter, TimesEachCodeAgainstTheWallClockAndCountsFramesWithout) {
  ManualClock clock;
  LatencyMeter meter(clock);
  int firsts = 0;
  meter.onFirstFrame([&] { ++firsts; });
  const std::uint64_t now = micros(clock.wallNow());

  // The host's screen is larger than the picture: the code is read scaled once its size is known, and
  // what came before counts neither way.
  const Picture scaled(1280, 720, 1920, latency::LatencyStamp{now - 17'500, 2});
  meter.onFrame(scaled.frame);
  meter.setScreenSize(1920, 1080);
  meter.onFrame(Picture(1920, 1080, 1920, latency::LatencyStamp{now - 42'000, 1}).frame);
  meter.onFrame(Picture(1920, 1080, 1920, std::nullopt).frame);
  clock.advance(Seconds(0.001));
  meter.onFrame(scaled.frame);
  meter.onFrame(scaled.frame);  // sent again unchanged: not a new delay
  EXPECT_EQ(firsts, 1);

  const LatencySummary summary = meter.take();
  EXPECT_EQ(summary.missed, 1);
  EXPECT_EQ(summary.delaysMs, (std::vector<double>{42.0, 18.5}));
  EXPECT_NEAR(summary.longestGapMs, 1.0, 1e-6);
  EXPECT_TRUE(meter.take().delaysMs.empty());
}

TEST(LatencyMeter, ReportsNearestRankPercentilesAndNothingWithoutCodes) {
  LatencySummary hundred;
  for (int i = 100; i >= 1; --i) hundred.delaysMs.push_back(i + 0.3);
  hundred.missed = 3;
  EXPECT_EQ(latencyReport(hundred), "latency frames=100 missed=3 p50=50.3 p95=95.3 p99=99.3 max=100.3 gap=0.0");
  EXPECT_EQ(latencyReport({0, {30, 10, 20}, 250}), "latency frames=3 missed=0 p50=20.0 p95=30.0 p99=30.0 max=30.0 gap=250.0");
  EXPECT_FALSE(latencyReport({7, {}}));
}

}  // namespace
}  // namespace orvane::pad
