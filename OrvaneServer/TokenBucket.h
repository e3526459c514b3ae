#pragma once

#include <algorithm>

namespace orvane::server {

// Allows `rate` events per second on average and `burst` at once. Time is
// passed in (seconds of a monotonic clock) so callers decide what "now" is.
class TokenBucket {
 public:
  TokenBucket(double rate, double burst, double now) : rate_(rate), burst_(burst), tokens_(burst), last_(now) {}

  bool take(double now) {
    if (now > last_) {
      tokens_ = std::min(burst_, tokens_ + (now - last_) * rate_);
      last_ = now;
    }
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
  }

 private:
  double rate_;
  double burst_;
  double tokens_;
  double last_;
};

}  // namespace orvane::server
