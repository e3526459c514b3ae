#pragma once

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

  explicit WSEnvelope(WSType t = WSType::hello) : type(toString(t)) {}
  std::optional<WSType> knownType() const { return wsTypeFromString(type); }
  bool operator==(const WSEnvelope&) const = default;
};

// Compact JSON, absent fields omitted (never null), "type" always written.
std::string wsEncode(const WSEnvelope& envelope);

// Strict: "type" must be a string; any other member may be missing or null
// but, when present, must have its type ("sdpMLineIndex" within 32 bits,
// "serverTime" within 64, every host complete). Unknown members are ignored.
DecodeResult<WSEnvelope> wsDecode(std::string_view text);

}  // namespace orvane
