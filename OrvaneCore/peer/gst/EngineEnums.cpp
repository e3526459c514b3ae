#include "OrvaneCore/peer/gst/EngineEnums.h"

#include <utility>

namespace orvane::rtc {
namespace {

template <typename Gst, typename Engine, std::size_t N>
std::optional<Engine> engineValue(const std::pair<Gst, Engine> (&table)[N], Gst value) {
  for (const auto& [gst, engine] : table) {
    if (gst == value) return engine;
  }
  return std::nullopt;
}

template <typename Gst, typename Engine, std::size_t N>
Gst gstValue(const std::pair<Gst, Engine> (&table)[N], Engine value) {
  for (const auto& [gst, engine] : table) {
    if (engine == value) return gst;
  }
  return table[0].first;  // unreachable: every engine value is listed
}

const std::pair<GstWebRTCSignalingState, SignalingState> kSignaling[] = {
    {GST_WEBRTC_SIGNALING_STATE_STABLE, SignalingState::stable},
    {GST_WEBRTC_SIGNALING_STATE_HAVE_LOCAL_OFFER, SignalingState::haveLocalOffer},
    {GST_WEBRTC_SIGNALING_STATE_HAVE_LOCAL_PRANSWER, SignalingState::haveLocalPrAnswer},
    {GST_WEBRTC_SIGNALING_STATE_HAVE_REMOTE_OFFER, SignalingState::haveRemoteOffer},
    {GST_WEBRTC_SIGNALING_STATE_HAVE_REMOTE_PRANSWER, SignalingState::haveRemotePrAnswer},
    {GST_WEBRTC_SIGNALING_STATE_CLOSED, SignalingState::closed},
};

const std::pair<GstWebRTCDataChannelState, DataChannelState> kDataChannel[] = {
    {GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING, DataChannelState::connecting},
    {GST_WEBRTC_DATA_CHANNEL_STATE_OPEN, DataChannelState::open},
    {GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING, DataChannelState::closing},
    {GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED, DataChannelState::closed},
};

const std::pair<GstWebRTCICEConnectionState, IceConnectionState> kIceConnection[] = {
    {GST_WEBRTC_ICE_CONNECTION_STATE_NEW, IceConnectionState::newState},
    {GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING, IceConnectionState::checking},
    {GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED, IceConnectionState::connected},
    {GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED, IceConnectionState::completed},
    {GST_WEBRTC_ICE_CONNECTION_STATE_FAILED, IceConnectionState::failed},
    {GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED, IceConnectionState::disconnected},
    {GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED, IceConnectionState::closed},
};

const std::pair<GstWebRTCICEGatheringState, IceGatheringState> kIceGathering[] = {
    {GST_WEBRTC_ICE_GATHERING_STATE_NEW, IceGatheringState::newState},
    {GST_WEBRTC_ICE_GATHERING_STATE_GATHERING, IceGatheringState::gathering},
    {GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE, IceGatheringState::complete},
};

const std::pair<GstWebRTCSDPType, SdpType> kSdpType[] = {
    {GST_WEBRTC_SDP_TYPE_OFFER, SdpType::offer},
    {GST_WEBRTC_SDP_TYPE_PRANSWER, SdpType::prAnswer},
    {GST_WEBRTC_SDP_TYPE_ANSWER, SdpType::answer},
};

const std::pair<GstWebRTCICETransportPolicy, IceTransportPolicy> kTransportPolicy[] = {
    {GST_WEBRTC_ICE_TRANSPORT_POLICY_ALL, IceTransportPolicy::all},
    {GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY, IceTransportPolicy::relay},
};

}  // namespace

std::optional<SignalingState> fromGst(GstWebRTCSignalingState state) { return engineValue(kSignaling, state); }
std::optional<DataChannelState> fromGst(GstWebRTCDataChannelState state) { return engineValue(kDataChannel, state); }
std::optional<IceConnectionState> fromGst(GstWebRTCICEConnectionState state) {
  return engineValue(kIceConnection, state);
}
std::optional<IceGatheringState> fromGst(GstWebRTCICEGatheringState state) { return engineValue(kIceGathering, state); }
std::optional<SdpType> fromGst(GstWebRTCSDPType type) { return engineValue(kSdpType, type); }

GstWebRTCSDPType toGst(SdpType type) { return gstValue(kSdpType, type); }
GstWebRTCICETransportPolicy toGst(IceTransportPolicy policy) { return gstValue(kTransportPolicy, policy); }

}  // namespace orvane::rtc
