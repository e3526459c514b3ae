#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "OrvaneCore/peer/RtcEngine.h"

namespace orvane::rtc {

// Tells a peer that vanished from one that is quiet. webrtcbin 1.22 keeps ICE
// "completed" for 40-45 s after the peer's process or network is gone
// (Debian's webrtcbin is built without libnice consent freshness), while a
// live peer sends RTCP at least every 1.5 s (ours: a 1 s interval; browsers:
// a report a second). So once RTCP has been seen on an established
// connection, silence longer than the limit is reported as "disconnected",
// and the real state returns with the next RTCP packet. Before the first
// RTCP the peer gets a longer limit: a host whose capture has not delivered
// a frame yet sends none, and neither does its pad; but a pad that left
// within a second of connecting never sends any, and must not keep the host
// "connected" until webrtcbin notices.
// Times are steady-clock nanoseconds. onRtcp() is lock-free; the rest is
// guarded by the caller.
class PeerLiveness {
 public:
  PeerLiveness(std::int64_t silenceLimitNs, std::int64_t firstRtcpLimitNs)
      : limitNs_(silenceLimitNs), firstLimitNs_(firstRtcpLimitNs) {}

  // Every ICE state webrtcbin reports.
  void onIceState(IceConnectionState raw, std::int64_t nowNs);
  void onRtcp(std::int64_t nowNs) { lastRtcpNs_.store(nowNs, std::memory_order_relaxed); }

  // The state to report for `raw` at `nowNs`.
  IceConnectionState effective(IceConnectionState raw, std::int64_t nowNs) const;

 private:
  std::int64_t limitNs_;
  std::int64_t firstLimitNs_;
  std::optional<std::int64_t> upSinceNs_;
  std::atomic<std::int64_t> lastRtcpNs_{-1};
};

}  // namespace orvane::rtc
