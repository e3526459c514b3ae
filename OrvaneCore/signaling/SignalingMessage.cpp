#include "OrvaneCore/signaling/SignalingMessage.h"

#include <array>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"

namespace orvane {

namespace {

constexpr std::array<std::string_view, 2> kRoleNames = {"mac", "pad"};
constexpr std::array<std::string_view, 2> kBackendNames = {"cloudKit", "webSocket"};
constexpr std::array<std::string_view, 3> kMsgTypeNames = {"offer", "answer", "iceCandidate"};

template <typename E, std::size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string_view toString(SignalingRole role) { return kRoleNames[static_cast<std::size_t>(role)]; }
std::optional<SignalingRole> signalingRoleFromString(std::string_view text) {
  return lookup<SignalingRole>(kRoleNames, text);
}
std::string_view toString(SignalingBackend backend) { return kBackendNames[static_cast<std::size_t>(backend)]; }
std::optional<SignalingBackend> signalingBackendFromString(std::string_view text) {
  return lookup<SignalingBackend>(kBackendNames, text);
}
std::string_view toString(SignalingMessage::MsgType type) { return kMsgTypeNames[static_cast<std::size_t>(type)]; }
std::optional<SignalingMessage::MsgType> msgTypeFromString(std::string_view text) {
  return lookup<SignalingMessage::MsgType>(kMsgTypeNames, text);
}

void writeICECandidate(JsonWriter& writer, const ICECandidateInfo& candidate) {
  writer.beginObject();
  writer.key("sdp");
  writer.string(candidate.sdp);
  writer.key("sdpMLineIndex");
  writer.integer(candidate.sdpMLineIndex);
  if (candidate.sdpMid) {
    writer.key("sdpMid");
    writer.string(*candidate.sdpMid);
  }
  writer.endObject();
}

namespace {
DecodeResult<ICECandidateInfo> readCandidateObject(const JsonValue::Object& object) {
  JsonObjectReader reader(object);
  ICECandidateInfo candidate;
  if (auto sdp = reader.requireString("sdp")) candidate.sdp = std::move(*sdp);
  if (auto index = reader.requireInt32("sdpMLineIndex")) candidate.sdpMLineIndex = *index;
  candidate.sdpMid = reader.optionalString("sdpMid");
  if (!reader) return reader.failure<ICECandidateInfo>();
  return candidate;
}
}  // namespace

DecodeResult<ICECandidateInfo> readICECandidate(const JsonValue& value) {
  const JsonValue::Object* object = value.asObject();
  if (object == nullptr) return DecodeResult<ICECandidateInfo>::failure("candidate is not an object");
  return readCandidateObject(*object);
}

std::string encodeSignalingMessage(const SignalingMessage& message) {
  JsonWriter writer;
  writer.beginObject();
  writer.key("type");
  writer.string(toString(message.type()));
  if (const auto* ice = message.get<SignalingMessage::IceCandidate>()) {
    writer.key("candidate");
    writeICECandidate(writer, ice->candidate);
  } else {
    writer.key("sdp");
    const auto* offer = message.get<SignalingMessage::Offer>();
    writer.string(offer ? offer->sdp : message.get<SignalingMessage::Answer>()->sdp);
  }
  writer.endObject();
  return *std::move(writer).finish();  // no doubles, so it cannot fail
}

DecodeResult<SignalingMessage> decodeSignalingMessage(std::string_view json) {
  using Result = DecodeResult<SignalingMessage>;
  DecodeResult<JsonValue> parsed = parseJsonObject(json);
  if (!parsed) return Result::failure(parsed.error());
  JsonObjectReader reader(*parsed.value().asObject());
  const std::string* typeName = reader.requireStringRef("type");
  if (typeName == nullptr) return reader.failure<SignalingMessage>();
  const auto type = msgTypeFromString(*typeName);
  if (!type) return Result::failure("unknown \"type\"");
  switch (*type) {
    case SignalingMessage::MsgType::offer:
    case SignalingMessage::MsgType::answer: {
      std::optional<std::string> sdp = reader.requireString("sdp");
      if (!sdp) return reader.failure<SignalingMessage>();
      if (*type == SignalingMessage::MsgType::offer) return SignalingMessage(SignalingMessage::Offer{std::move(*sdp)});
      return SignalingMessage(SignalingMessage::Answer{std::move(*sdp)});
    }
    case SignalingMessage::MsgType::iceCandidate: {
      const JsonValue::Object* object = reader.requireObject("candidate");
      if (object == nullptr) return reader.failure<SignalingMessage>();
      DecodeResult<ICECandidateInfo> candidate = readCandidateObject(*object);
      if (!candidate) return Result::failure(concatText({"bad \"candidate\": ", candidate.error()}));
      return SignalingMessage(SignalingMessage::IceCandidate{std::move(candidate).value()});
    }
  }
  return Result::failure("unknown \"type\"");
}

}  // namespace orvane
