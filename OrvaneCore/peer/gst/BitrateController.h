#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace orvane::rtc {

// The round trip a report block gives: its arrival, the sender report it
// answers (LSR) and how long the peer held it (DLSR), all in the middle 32
// bits of NTP time (1/65536 s). None when it answers no report, or when the
// result cannot be a round trip (clocks that disagree).
inline std::optional<double> roundTripSeconds(std::uint32_t arrival, std::uint32_t lsr, std::uint32_t dlsr) {
  if (lsr == 0) return std::nullopt;
  const std::uint32_t units = arrival - lsr - dlsr;  // modulo 2^32, as the fields wrap
  const double seconds = units / 65536.0;
  if (seconds > 10) return std::nullopt;
  return seconds;
}

// What one RTCP receiver report says about the video we send.
struct ReceiverReport {
  double fractionLost = 0;            // 0…1, since the receiver's previous report
  std::optional<double> rttSeconds;   // when the report answers one of our sender reports
  double sentBitsPerSecond = 0;       // what the encoder actually sent since our previous report
};

// The encoder's bitrate from what the receiver reports, so that a link slower
// than the configured rate does not build a queue that never drains. Loss over
// 10 % or a round trip grown by queueing cuts the rate (below the configured
// range when the link demands it); a clean link lets it climb back, slowly near
// the rate where the link last gave way and for a while after a cut, and only
// while the encoder nearly fills it (a still screen sends little and proves
// nothing). No I/O: times are given.
class BitrateController {
 public:
  struct Range {
    int minBps = 0;    // the configured range…
    int maxBps = 0;
    int floorBps = 0;  // …and the least a congested link is given
  };
  static constexpr double kLossCut = 0.10;
  static constexpr double kLossClean = 0.02;
  static constexpr double kQueueCutSeconds = 0.05;    // round trip above its least
  static constexpr double kQueueCleanSeconds = 0.02;
  static constexpr double kOutageSeconds = 2.0;  // no report for this long: the link was down

  explicit BitrateController(Range range) : range_(range), targetBps_(range.maxBps) {}

  // A new range (the sender's parameters changed) starts again at its top.
  void setRange(Range range);
  // The target after this report at `nowSeconds`.
  int onReport(const ReceiverReport& report, double nowSeconds);
  int targetBps() const { return targetBps_; }

 private:
  void rememberRtt(double rtt, double now);

  Range range_;
  double targetBps_;
  std::optional<double> lastReportAt_;
  std::optional<double> lastRtt_;
  std::optional<double> lastCutAt_;
  double gaveWayAtBps_ = 0;  // the rate that was delivered when the link last gave way
  std::deque<std::pair<double, double>> rtts_;  // (time, rtt), for the least of the recent window
};

}  // namespace orvane::rtc
