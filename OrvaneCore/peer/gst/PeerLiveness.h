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
// RTCP nothing is judged: a host whose capture has not delivered a frame
// yet sends none, and neither does its pad.
// Times are steady-clock nanoseconds. onRtcp() is lock-free; the rest is
// guarded by the caller.
class PeerLiveness {
 public:
  explicit PeerLiveness(std::int64_t silenceLimitNs) : limitNs_(silenceLimitNs) {}

  // Every ICE state webrtcbin reports.
  void onIceState(IceConnectionState raw, std::int64_t nowNs);
  void onRtcp(std::int64_t nowNs) { lastRtcpNs_.store(nowNs, std::memory_order_relaxed); }

  // The state to report for `raw` at `nowNs`.
  IceConnectionState effective(IceConnectionState raw, std::int64_t nowNs) const;

 private:
  std::int64_t limitNs_;
  std::optional<std::int64_t> upSinceNs_;
  std::atomic<std::int64_t> lastRtcpNs_{-1};
};

}  // namespace orvane::rtc
