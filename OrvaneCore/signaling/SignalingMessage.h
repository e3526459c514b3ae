#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/json/DecodeResult.h"

namespace orvane {

class JsonValue;
class JsonWriter;

// Which end of a session this device is: the host ("mac") or the tablet ("pad").
enum class SignalingRole { mac, pad };
std::string_view toString(SignalingRole role);
std::optional<SignalingRole> signalingRoleFromString(std::string_view text);

// The transport that carries signalling; the raw strings are persisted.
enum class SignalingBackend { cloudKit, webSocket };
std::string_view toString(SignalingBackend backend);
std::optional<SignalingBackend> signalingBackendFromString(std::string_view text);  // exact, case-sensitive

// A host found by discovery.
struct HostInfo {
  std::string id;  // what a pad connects to
  std::string machineName;
  std::chrono::system_clock::time_point lastSeen;

  bool operator==(const HostInfo&) const = default;
};

// A STUN or TURN server the signalling server issued, with short-lived
// credentials for TURN.
struct IceServerInfo {
  std::vector<std::string> urls;
  std::optional<std::string> username;
  std::optional<std::string> credential;

  bool operator==(const IceServerInfo&) const = default;
};

struct ICECandidateInfo {
  std::string sdp;
  std::int32_t sdpMLineIndex = 0;
  std::optional<std::string> sdpMid;

  bool operator==(const ICECandidateInfo&) const = default;
};

// {"sdp","sdpMLineIndex"[,"sdpMid"]}: sdpMid is left out when absent, and
// reads as absent when missing or null.
void writeICECandidate(JsonWriter& writer, const ICECandidateInfo& candidate);
DecodeResult<ICECandidateInfo> readICECandidate(const JsonValue& value);

// One step of the offer/answer/candidate exchange, independent of backend.
class SignalingMessage {
 public:
  enum class MsgType { offer, answer, iceCandidate };
  struct Offer {
    std::string sdp;
    bool operator==(const Offer&) const = default;
  };
  struct Answer {
    std::string sdp;
    bool operator==(const Answer&) const = default;
  };
  struct IceCandidate {
    ICECandidateInfo candidate;
    bool operator==(const IceCandidate&) const = default;
  };
  using Payload = std::variant<Offer, Answer, IceCandidate>;  // index is MsgType

  template <typename Case>
  requires std::is_constructible_v<Payload, Case&&> SignalingMessage(Case&& payload)
      : payload_(std::forward<Case>(payload)) {}  // NOLINT: any case converts

  MsgType type() const { return static_cast<MsgType>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  template <typename Case>
  const Case* get() const {
    return std::get_if<Case>(&payload_);
  }

  bool operator==(const SignalingMessage&) const = default;

 private:
  Payload payload_;
};

std::string_view toString(SignalingMessage::MsgType type);
std::optional<SignalingMessage::MsgType> msgTypeFromString(std::string_view text);

// {"type":"offer","sdp":...}, {"type":"answer","sdp":...} or
// {"type":"iceCandidate","candidate":{...}}; "type" is written first.
std::string encodeSignalingMessage(const SignalingMessage& message);

// Reads "type", then only the key that case needs; other members are ignored.
DecodeResult<SignalingMessage> decodeSignalingMessage(std::string_view json);

}  // namespace orvane
