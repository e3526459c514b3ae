#pragma once

// Plain-text readings of SDP and candidate lines that webrtcbin does not
// give back in a usable form. Inputs come from the network: nothing here
// trusts them.

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

// The offer with every H.264 format announced as constrained baseline 3.1
// with level asymmetry (profile-level-id=42e01f), the form Safari and Firefox
// match. It cannot be left to webrtcbin: a level in the transceiver's caps
// reaches x264 as a limit, which then refuses anything above 1280x720.
std::string withBrowserH264(std::string_view sdp);

}  // namespace orvane::rtc
