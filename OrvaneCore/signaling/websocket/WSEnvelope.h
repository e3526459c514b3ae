#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/json/DecodeResult.h"
#include "OrvaneCore/signaling/SignalingMessage.h"

namespace orvane {

// The frame types of the signalling server, in their fixed order.
enum class WSType { hello, listHosts, connectRequest, offer, answer, ice, bye, welcome, hosts, peerGone, error };
std::string_view toString(WSType type);
std::optional<WSType> wsTypeFromString(std::string_view text);  // exact, case-sensitive

// Error codes a server puts in "code"; passed through, never branched on.
namespace WSCode {
inline constexpr std::string_view hostOffline = "host_offline";
inline constexpr std::string_view notAuthorized = "not_authorized";
inline constexpr std::string_view badRequest = "bad_request";
}  // namespace WSCode

// One entry of a "hosts" reply.
struct WSHost {
  std::string deviceId;
  std::string name;
  std::int64_t lastSeen = 0;  // Unix seconds

  HostInfo toHostInfo() const;
  bool operator==(const WSHost&) const = default;
};

// Bounds on a "welcome"'s "iceServers": a deployment names a few relays, and
// each URL or credential is a short line.
inline constexpr std::size_t kMaxIssuedIceServers = 8;
inline constexpr std::size_t kMaxIssuedIceUrls = 8;
inline constexpr std::size_t kMaxIceFieldBytes = 512;

// One signalling frame. Every field but `type` is optional; server-filled
// fields this program never reads are kept so a frame re-encodes unchanged.
struct WSEnvelope {
  std::string type;  // a WSType string, or an unknown one (kept, then ignored)
  std::optional<std::string> id;
  std::optional<std::string> role;
  std::optional<std::string> deviceId;
  std::optional<std::string> deviceName;
  std::optional<std::string> targetDeviceId;
  std::optional<std::string> fromDeviceId;
  std::optional<std::string> fromName;
  std::optional<std::string> sdp;  // offer/answer SDP, or the candidate line of "ice"
  std::optional<std::int32_t> sdpMLineIndex;
  std::optional<std::string> sdpMid;
  std::optional<std::vector<WSHost>> hosts;
  std::optional<std::int64_t> serverTime;
  std::optional<std::string> peerDeviceId;
  std::optional<std::string> code;
  std::optional<std::string> message;
  std::optional<std::vector<IceServerInfo>> iceServers;  // "welcome": relays with their credentials

  explicit WSEnvelope(WSType t = WSType::hello) : type(toString(t)) {}
  std::optional<WSType> knownType() const { return wsTypeFromString(type); }
  bool operator==(const WSEnvelope&) const = default;
};

// Compact JSON, absent fields omitted (never null), "type" always written.
std::string wsEncode(const WSEnvelope& envelope);

// Strict: "type" must be a string; any other member may be missing or null
// but, when present, must have its type ("sdpMLineIndex" within 32 bits,
// "serverTime" within 64, every host complete, "iceServers" within the bounds
// above, each with stun:, stuns:, turn: or turns: URLs and string credentials).
// Unknown members are ignored.
DecodeResult<WSEnvelope> wsDecode(std::string_view text);

}  // namespace orvane
