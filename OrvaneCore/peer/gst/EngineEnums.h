#pragma once

// The one place where webrtcbin's enumerations meet the engine numbering of
// RtcEngine.h. They differ for signalling state (webrtcbin puts "closed" at
// 1), data-channel state (webrtcbin counts from 1) and SDP type (from 1).

#include <gst/webrtc/webrtc.h>

#include <optional>

#include "OrvaneCore/peer/RtcEngine.h"

namespace orvane::rtc {

// nullopt for values this build of webrtcbin does not define.
std::optional<SignalingState> fromGst(GstWebRTCSignalingState state);
std::optional<DataChannelState> fromGst(GstWebRTCDataChannelState state);
std::optional<IceConnectionState> fromGst(GstWebRTCICEConnectionState state);
std::optional<IceGatheringState> fromGst(GstWebRTCICEGatheringState state);
std::optional<SdpType> fromGst(GstWebRTCSDPType type);  // rollback has no engine value

GstWebRTCSDPType toGst(SdpType type);
GstWebRTCICETransportPolicy toGst(IceTransportPolicy policy);

}  // namespace orvane::rtc
