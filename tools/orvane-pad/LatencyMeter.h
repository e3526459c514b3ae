#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/runtime/Clock.h"

namespace orvane::pad {

// What the latency meter saw: one delay per frame that showed a code.
struct LatencySummary {
  int missed = 0;  // frames without a readable code
  std::vector<double> delaysMs;
  double longestGapMs = 0;  // between two decoded frames: the worst freeze
};

// Reads the latency clock's code (drawn on the host's screen) from every
// decoded frame and keeps the delay from its draw time to the first decoded
// frame that shows it, both
// on the wall clock. onFrame() runs on the decoder's thread; the rest on the
// main executor.
class LatencyMeter final : public rtc::VideoSink {
 public:
  explicit LatencyMeter(const Clock& clock) : clock_(clock) {}

  // The host's screen in pixels once it said; until then the picture is taken
  // to be the screen at 1:1. The first size known drops what was seen before it.
  void setScreenSize(int width, int height);
  // Called once, on the decoder's thread, at the first frame; it should only hand the news on.
  void onFirstFrame(std::function<void()> callback);
  void onFrame(const rtc::VideoFrame& frame) override;
  // What was seen since the first frame.
  LatencySummary take();

 private:
  const Clock& clock_;
  std::mutex mutex_;
  int screenWidth_ = 0;
  int screenHeight_ = 0;
  bool seen_ = false;
  std::optional<std::uint32_t> lastFrame_;
  std::optional<double> lastFrameUptime_;
  std::function<void()> onFirstFrame_;
  LatencySummary summary_;
};

// "latency frames=118 missed=2 p50=41.3 p95=55.0 p99=61.2 max=63.4 gap=40.1" (nearest-rank
// percentiles, ms); nothing when no code was read.
std::optional<std::string> latencyReport(const LatencySummary& summary);

}  // namespace orvane::pad
