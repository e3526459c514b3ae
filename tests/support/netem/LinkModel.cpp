#include "tests/support/netem/LinkModel.h"

#include <algorithm>

namespace orvane::test {

bool LinkModel::send(std::vector<std::uint8_t> packet, double now) {
  if (!settings_.up) {
    ++counters_.outageDrops;
    return false;
  }
  if (settings_.loss > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < settings_.loss) {
    ++counters_.lost;
    return false;
  }
  double leaves = now;
  if (settings_.rateBitsPerSecond > 0) {
    const double start = std::max(now, bottleneckFreeAt_);
    if (start - now > settings_.queueSeconds) {
      ++counters_.queueDrops;
      return false;
    }
    bottleneckFreeAt_ = start + double(packet.size()) * 8 / settings_.rateBitsPerSecond;
    leaves = bottleneckFreeAt_;
  }
  // A fixed delay keeps the order; a delay changed mid-flight must not reorder either.
  const double at = std::max(leaves + settings_.delaySeconds, inFlight_.empty() ? 0.0 : inFlight_.back().at);
  inFlight_.push_back({at, std::move(packet)});
  return true;
}

std::optional<double> LinkModel::nextDelivery() const {
  if (inFlight_.empty()) return std::nullopt;
  return inFlight_.front().at;
}

std::vector<std::vector<std::uint8_t>> LinkModel::deliver(double now) {
  std::vector<std::vector<std::uint8_t>> out;
  while (!inFlight_.empty() && inFlight_.front().at <= now) {
    // An outage also loses what was already on the wire.
    if (settings_.up) {
      out.push_back(std::move(inFlight_.front().packet));
      ++counters_.delivered;
    } else {
      ++counters_.outageDrops;
    }
    inFlight_.pop_front();
  }
  return out;
}

}  // namespace orvane::test
