#include "tools/orvane-pad/LatencyMeter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "bench/latency/LatencyCode.h"

namespace orvane::pad {

void LatencyMeter::setScreenSize(int width, int height) {
  std::lock_guard lock(mutex_);
  // Frames read at a guessed scale before the host said its size miss their
  // code or are the connection's start: the figures begin here.
  if (screenWidth_ == 0 && screenHeight_ == 0 && (width > 0 || height > 0)) summary_ = {};
  screenWidth_ = width;
  screenHeight_ = height;
}

void LatencyMeter::onFirstFrame(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onFirstFrame_ = std::move(callback);
}

void LatencyMeter::onFrame(const rtc::VideoFrame& frame) {
  const auto nowUs = std::chrono::duration_cast<std::chrono::microseconds>(clock_.wallNow().time_since_epoch()).count();
  int screenWidth, screenHeight;
  std::function<void()> first;
  {
    std::lock_guard lock(mutex_);
    screenWidth = screenWidth_ > 0 ? screenWidth_ : frame.width;
    screenHeight = screenHeight_ > 0 ? screenHeight_ : frame.height;
    if (!std::exchange(seen_, true)) first = std::move(onFirstFrame_);
  }
  std::optional<latency::LatencyStamp> stamp;
  if (frame.format == rtc::VideoFrame::Format::i420) {
    stamp = latency::decodeLatencyCode(frame.planes[0], frame.strides[0], frame.width, frame.height, screenWidth,
                                       screenHeight);
  }
  {
    std::lock_guard lock(mutex_);
    const double uptime = clock_.uptime();
    if (lastFrameUptime_) summary_.longestGapMs = std::max(summary_.longestGapMs, (uptime - *lastFrameUptime_) * 1000);
    lastFrameUptime_ = uptime;
    if (stamp) {
      // A picture sent again without a change (a refresh) shows an old draw:
      // only the first showing of each is its delay.
      if (stamp->frame != lastFrame_) summary_.delaysMs.push_back(double(nowUs - std::int64_t(stamp->timeUs)) / 1000);
      lastFrame_ = stamp->frame;
    } else {
      ++summary_.missed;
    }
  }
  if (first) first();
}

LatencySummary LatencyMeter::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(summary_, {});
}

std::optional<std::string> latencyReport(const LatencySummary& summary) {
  if (summary.delaysMs.empty()) return std::nullopt;
  std::vector<double> sorted = summary.delaysMs;
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest value with at least `percent` of them at or below it.
  const auto rank = [&](std::size_t percent) {
    const std::size_t n = (percent * sorted.size() + 99) / 100;
    return sorted[std::clamp<std::size_t>(n, 1, sorted.size()) - 1];
  };
  char line[160];
  std::snprintf(line, sizeof line, "latency frames=%zu missed=%d p50=%.1f p95=%.1f p99=%.1f max=%.1f gap=%.1f",
                sorted.size(), summary.missed, rank(50), rank(95), rank(99), sorted.back(), summary.longestGapMs);
  return line;
}

}  // namespace orvane::pad
