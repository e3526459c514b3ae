#pragma once

// Plain-text readings of SDP and candidate lines that webrtcbin does not
// give back in a usable form. Inputs come from the network: nothing here
// trusts them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::rtc {

// The "candidate:..." line without an "a=" prefix or line ending, when its
// fields are well formed (RFC 8839 grammar, typ host/srflx/prflx/relay);
// otherwise nullopt and `problem` says why. webrtcbin 1.22 reports nothing
// for a bad candidate, so this is the only refusal the caller gets.
std::optional<std::string> normalizeCandidate(std::string_view line, std::string& problem);

// The a=mid of every m-line in order ("" where one has none).
std::vector<std::string> mediaMids(std::string_view sdp);

// A video m-line on which the remote side sends.
struct RemoteVideo {
  std::string mid;
  std::string streamId;  // from a=msid, "default" without one
  std::string trackId;   // from a=msid, the mid without one
  bool operator==(const RemoteVideo&) const = default;
};

// The video m-lines of a remote description that carry media towards us
// (sendrecv or sendonly, not rejected).
std::vector<RemoteVideo> remoteVideos(std::string_view sdp);

// The first mid of the a=group:BUNDLE line, if there is one.
std::optional<std::string> bundleTag(std::string_view sdp);

// Audio and video sections without a direction attribute get the default
// one spelled out (a=sendrecv): webrtcbin 1.22 otherwise rejects them.
std::string withExplicitDirections(std::string_view sdp);

// The offer with every H.264 format announced as constrained baseline at
// `levelIdc` with level asymmetry (profile-level-id=42e0xx), the form Safari
// and Firefox match. Written here, not in the transceiver's caps, which
// webrtcbin would hand on to x264 as a limit of their own.
std::string withBrowserH264(std::string_view sdp, int levelIdc);

// How a track we send is named: by the SSRC its m-section carries.
struct LocalTrackName {
  std::uint32_t ssrc = 0;
  std::string streamId;  // "-" for a track in no stream
  std::string trackId;
};

// Each m-section that carries one of these SSRCs gets an a=msid line with
// the stream and track ids, which is what browsers read (webrtcbin 1.22
// writes none), and its ssrc msid lines say the same (webrtcbin puts its
// transceiver's name there).
std::string withTrackNames(std::string_view sdp, const std::vector<LocalTrackName>& tracks);

}  // namespace orvane::rtc
