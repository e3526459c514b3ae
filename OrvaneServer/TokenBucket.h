#pragma once

#include <algorithm>

namespace orvane::server {

// Allows `rate` events per second on average and `burst` at once. Time is
// passed in (seconds of a monotonic clock) so callers decide what "now" is.
class TokenBucket {
 public:
  TokenBucket(double rate, double burst, double now) : rate_(rate), burst_(burst), tokens_(burst), last_(now) {}

  bool take(double now) {
    refill(now);
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
  }

  // Tokens there would be at `now`, without spending any.
  double available(double now) const {
    return now > last_ ? std::min(burst_, tokens_ + (now - last_) * rate_) : tokens_;
  }
  // Seconds from `now` until one token is there (0 when there is one).
  double secondsUntilToken(double now) const {
    const double missing = 1 - available(now);
    return missing <= 0 || rate_ <= 0 ? 0 : missing / rate_;
  }
  bool full(double now) const { return available(now) >= burst_; }

 private:
  void refill(double now) {
    if (now > last_) {
      tokens_ = available(now);
      last_ = now;
    }
  }

  double rate_;
  double burst_;
  double tokens_;
  double last_;
};

}  // namespace orvane::server
