#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

namespace orvane::test {

// One direction of an emulated link: random loss, a fixed one-way delay, an
// optional bottleneck rate with a drop-tail queue, and outages. Times are
// seconds on the caller's clock, so the model runs in virtual time as well.
struct LinkSettings {
  double loss = 0;            // 0…1, per packet
  double delaySeconds = 0;    // one way
  double rateBitsPerSecond = 0;  // 0: unlimited
  double queueSeconds = 0.3;  // the most a packet waits for the bottleneck before it is dropped
  bool up = true;
};

struct LinkCounters {
  std::uint64_t delivered = 0, lost = 0, queueDrops = 0, outageDrops = 0;
};

class LinkModel {
 public:
  explicit LinkModel(std::uint32_t seed) : random_(seed) {}

  void configure(const LinkSettings& settings) { settings_ = settings; }
  const LinkSettings& settings() const { return settings_; }
  const LinkCounters& counters() const { return counters_; }

  // A packet enters the link at `now`; false when the link drops it.
  bool send(std::vector<std::uint8_t> packet, double now);
  // When the next packet comes out of the link, if any is on its way.
  std::optional<double> nextDelivery() const;
  // The packets whose time has come, in the order they were sent.
  std::vector<std::vector<std::uint8_t>> deliver(double now);

 private:
  struct InFlight {
    double at;
    std::vector<std::uint8_t> packet;
  };

  LinkSettings settings_;
  LinkCounters counters_;
  std::mt19937 random_;
  double bottleneckFreeAt_ = 0;
  std::deque<InFlight> inFlight_;
};

}  // namespace orvane::test
