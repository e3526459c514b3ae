#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneServer/TokenBucket.h"

namespace orvane::server {

struct SignInLimits {
  // Per source: a burst of failed sign-ins, then one every few seconds. A
  // person who mistypes or a pad with a stale token stays far below it;
  // guessing tokens becomes hopeless.
  double failuresPerSecond = 0.2;
  double failureBurst = 20;
  // Sources remembered at once; beyond it the longest quiet one is forgotten.
  std::size_t maxSources = 4096;
  // A source's failures are logged once per window, however many there are.
  double logWindowSeconds = 60;
};

// Failed sign-ins counted per source address in a token bucket each. A
// source that spent its budget is refused before its credentials are even
// checked, until the bucket refills; other sources are not affected. Also
// decides when a source's failures are worth a log line. Not thread-safe.
class SignInLimiter {
 public:
  explicit SignInLimiter(const Clock& clock, SignInLimits limits = {});

  // Nothing when `source` may try now; otherwise the seconds until it may.
  std::optional<double> wait(std::string_view source) const;

  // A failed or refused attempt from `source`: spends its budget. When a log
  // line is due (the first failure of a window), how many failures it stands
  // for: this one and those not logged since the last line.
  std::optional<std::uint64_t> failed(std::string_view source);

  std::size_t sourceCount() const { return sources_.size(); }

 private:
  struct Source {
    TokenBucket bucket;
    double lastFailure;
    std::optional<double> lastLogged;
    std::uint64_t unlogged = 0;
  };

  Source& sourceFor(std::string_view key, double now);
  bool forgettable(const Source& s, double now) const;
  void makeRoom(double now);

  const Clock& clock_;
  SignInLimits limits_;
  std::unordered_map<std::string, Source> sources_;
};

}  // namespace orvane::server
