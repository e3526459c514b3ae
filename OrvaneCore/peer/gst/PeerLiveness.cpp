#include "OrvaneCore/peer/gst/PeerLiveness.h"

namespace orvane::rtc {
namespace {
bool isUp(IceConnectionState s) { return s == IceConnectionState::connected || s == IceConnectionState::completed; }
}  // namespace

void PeerLiveness::onIceState(IceConnectionState raw, std::int64_t nowNs) {
  if (!isUp(raw)) {
    upSinceNs_.reset();
  } else if (!upSinceNs_) {
    upSinceNs_ = nowNs;  // RTCP from before a restart says nothing about now
  }
}

IceConnectionState PeerLiveness::effective(IceConnectionState raw, std::int64_t nowNs) const {
  const std::int64_t lastRtcp = lastRtcpNs_.load(std::memory_order_relaxed);
  if (!isUp(raw) || !upSinceNs_) return raw;
  const bool silent = lastRtcp < *upSinceNs_ ? nowNs - *upSinceNs_ > firstLimitNs_ : nowNs - lastRtcp > limitNs_;
  return silent ? IceConnectionState::disconnected : raw;
}

}  // namespace orvane::rtc
