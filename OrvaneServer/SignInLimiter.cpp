#include "OrvaneServer/SignInLimiter.h"

#include <algorithm>
#include <utility>

namespace orvane::server {

SignInLimiter::SignInLimiter(const Clock& clock, SignInLimits limits) : clock_(clock), limits_(limits) {}

std::optional<double> SignInLimiter::wait(std::string_view source) const {
  auto it = sources_.find(std::string(source));
  if (it == sources_.end()) return std::nullopt;
  const double now = clock_.uptime();
  if (it->second.bucket.available(now) >= 1) return std::nullopt;
  return it->second.bucket.secondsUntilToken(now);
}

std::optional<std::uint64_t> SignInLimiter::failed(std::string_view source) {
  const double now = clock_.uptime();
  Source& s = sourceFor(source, now);
  s.bucket.take(now);  // an empty bucket stays empty: refused attempts keep the source waiting no longer
  s.lastFailure = now;
  ++s.unlogged;
  if (s.lastLogged && now < *s.lastLogged + limits_.logWindowSeconds) return std::nullopt;
  s.lastLogged = now;
  return std::exchange(s.unlogged, 0);
}

SignInLimiter::Source& SignInLimiter::sourceFor(std::string_view key, double now) {
  auto it = sources_.find(std::string(key));
  if (it != sources_.end()) return it->second;
  if (sources_.size() >= limits_.maxSources) makeRoom(now);
  Source fresh{TokenBucket(limits_.failuresPerSecond, limits_.failureBurst, now), now, std::nullopt};
  return sources_.emplace(std::string(key), fresh).first->second;
}

// A source with a full bucket, nothing left to log and its log window over
// holds nothing a fresh entry would not.
bool SignInLimiter::forgettable(const Source& s, double now) const {
  return s.bucket.full(now) && s.unlogged == 0 && (!s.lastLogged || now >= *s.lastLogged + limits_.logWindowSeconds);
}

void SignInLimiter::makeRoom(double now) {
  std::erase_if(sources_, [&](const auto& entry) { return forgettable(entry.second, now); });
  if (sources_.size() < limits_.maxSources) return;
  auto quietest = std::min_element(sources_.begin(), sources_.end(), [](const auto& a, const auto& b) {
    return a.second.lastFailure < b.second.lastFailure;
  });
  sources_.erase(quietest);
}

}  // namespace orvane::server
