#include "OrvaneCore/peer/gst/BitrateController.h"

#include <algorithm>
#include <cmath>

namespace orvane::rtc {

namespace {

// The least round trip is the path without queues; a window lets a route change be learnt.
constexpr double kRttWindowSeconds = 30;
// After a cut, the next report may still describe the queue the cut is draining.
constexpr double kCutSpacingSeconds = 1.0;
constexpr double kFastGrowthPerSecond = 0.10;
constexpr double kSlowGrowthPerSecond = 0.02;  // within 20 % above where the link gave way
// Cuts this close together drain one queue: the later ones measure the drain, not the link.
constexpr double kEpisodeSeconds = 5.0;
// What got through while a queue overflowed is only an estimate of the link:
// for a while after a cut, the climb stays slow whatever it says.
constexpr double kCarefulAfterCutSeconds = 20.0;

}  // namespace

void BitrateController::setRange(Range range) {
  range_ = range;
  targetBps_ = range.maxBps;
  gaveWayAtBps_ = 0;
}

void BitrateController::rememberRtt(double rtt, double now) {
  // Kept increasing from front to back: the front is the window's least.
  while (!rtts_.empty() && rtts_.back().second >= rtt) rtts_.pop_back();
  rtts_.emplace_back(now, rtt);
  while (now - rtts_.front().first > kRttWindowSeconds) rtts_.pop_front();
}

int BitrateController::onReport(const ReceiverReport& report, double now) {
  const double loss = std::isfinite(report.fractionLost) ? std::clamp(report.fractionLost, 0.0, 1.0) : 0.0;
  const double sent = std::isfinite(report.sentBitsPerSecond) ? std::max(0.0, report.sentBitsPerSecond) : 0.0;
  double queue = 0;
  if (report.rttSeconds && std::isfinite(*report.rttSeconds) && *report.rttSeconds >= 0) {
    // A queue persists; one late report (a busy receiver or host) does not count.
    const double rtt = std::min(*report.rttSeconds, lastRtt_.value_or(*report.rttSeconds));
    lastRtt_ = *report.rttSeconds;
    rememberRtt(*report.rttSeconds, now);
    queue = rtt - rtts_.front().second;
  }
  const double elapsed = lastReportAt_ ? now - *lastReportAt_ : 0.0;
  lastReportAt_ = now;
  // Reports stop while the link is down; the first after it counts the
  // outage's losses, which say nothing about the link's rate.
  if (elapsed > kOutageSeconds) return int(targetBps_);

  if (loss > kLossCut || queue > kQueueCutSeconds) {
    if (lastCutAt_ && now - *lastCutAt_ < kCutSpacingSeconds) return int(targetBps_);
    const bool sameEpisode = lastCutAt_ && now - *lastCutAt_ < kEpisodeSeconds;
    lastCutAt_ = now;
    // What got through is what the link can carry; aim below it so its queue
    // drains. A screen that changed little sent less than the link carries:
    // one cut takes at most half.
    const double base = std::min(targetBps_, std::max(sent, 0.5 * targetBps_));
    // Heavy loss means the link carries far less than was sent: aim below
    // what it delivered rather than halving the excess step by step.
    const double factor = loss > 0.25 ? (1 - loss) * 0.9 : loss > kLossCut ? 1 - 0.5 * loss : 0.85;
    gaveWayAtBps_ = sameEpisode ? std::max(gaveWayAtBps_, base * (1 - loss)) : base * (1 - loss);
    targetBps_ = std::max<double>(range_.floorBps, base * factor);
  } else if (loss < kLossClean && queue < kQueueCleanSeconds && sent >= 0.7 * targetBps_) {
    // What the link sees is what the encoder sends: an easy screen leaves the
    // target far above it, and the next hard one would send it all at once.
    const bool nearTheEdge = (gaveWayAtBps_ > 0 && std::min(targetBps_, sent) < 1.2 * gaveWayAtBps_) ||
                             (lastCutAt_ && now - *lastCutAt_ < kCarefulAfterCutSeconds);
    const double growth = nearTheEdge ? kSlowGrowthPerSecond : kFastGrowthPerSecond;
    targetBps_ = std::min<double>(range_.maxBps, targetBps_ * (1 + growth * std::min(elapsed, 1.0)));
  }
  return int(targetBps_);
}

}  // namespace orvane::rtc
