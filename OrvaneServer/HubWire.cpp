#include "OrvaneServer/HubWire.h"

#include <array>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneServer/Limits.h"

namespace orvane::server {

namespace {

// A routed frame, its quotes and backslashes escaped once more, and a little framing.
constexpr std::size_t kMaxMessageBytes = 2 * limits::kMaxFrameBytes + 8192;
constexpr std::size_t kMaxLabelBytes = 1024;

constexpr std::array<std::string_view, 6> kKinds = {"connect", "route", "gone", "refuseConnect", "refuseRoute",
                                                    "revoke"};

std::optional<PeerMessage::Kind> kindFromString(std::string_view text) {
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (kKinds[i] == text) return PeerMessage::Kind(i);
  }
  return std::nullopt;
}

std::optional<JsonValue> parseBounded(std::string_view text, std::size_t limit) {
  if (text.size() > limit) return std::nullopt;
  DecodeResult<JsonValue> parsed = parseJsonObject(text, JsonLimits{limit, 4});
  if (!parsed) return std::nullopt;
  return std::move(parsed).value();
}

bool shortLabel(const std::string& text) { return text.size() <= kMaxLabelBytes; }

}  // namespace

std::string encodeDeviceRecord(const DeviceRecord& r) {
  JsonWriter w;
  w.beginObject();
  w.key("instance");
  w.string(r.instance);
  w.key("socket");
  w.integer(std::int64_t(r.socket));
  w.key("role");
  w.string(r.role);
  w.key("name");
  w.string(r.name);
  w.key("sinceMs");
  w.integer(r.sinceMs);
  w.key("lastSeen");
  w.integer(r.lastSeen);
  w.endObject();
  return std::move(w).finish().value_or("");
}

std::optional<DeviceRecord> decodeDeviceRecord(std::string_view text) {
  std::optional<JsonValue> json = parseBounded(text, 4 * kMaxLabelBytes);
  if (!json) return std::nullopt;
  JsonObjectReader r(*json->asObject());
  DeviceRecord d;
  d.instance = r.requireString("instance").value_or("");
  const std::int64_t socket = r.requireInt("socket").value_or(0);
  d.role = r.requireString("role").value_or("");
  d.name = r.requireString("name").value_or("");
  d.sinceMs = r.requireInt("sinceMs").value_or(0);
  d.lastSeen = r.requireInt("lastSeen").value_or(0);
  if (!r || d.instance.empty() || socket <= 0 || !shortLabel(d.instance) || !shortLabel(d.name) ||
      (d.role != "mac" && d.role != "pad")) {
    return std::nullopt;
  }
  d.socket = SocketId(socket);
  return d;
}

std::string presenceKey(std::string_view user, std::string_view deviceId) {
  std::string key(user);
  key += '\n';
  key += deviceId;
  return key;
}

std::optional<std::pair<std::string, std::string>> splitPresenceKey(std::string_view key) {
  const std::size_t cut = key.find('\n');
  if (cut == std::string_view::npos || cut == 0 || cut + 1 == key.size() || key.size() > 2 * kMaxLabelBytes ||
      key.find('\n', cut + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  return std::pair{std::string(key.substr(0, cut)), std::string(key.substr(cut + 1))};
}

std::string encodePeerMessage(const PeerMessage& m) {
  JsonWriter w(256 + m.frame.size());
  w.beginObject();
  w.key("kind");
  w.string(kKinds[std::size_t(m.kind)]);
  w.key("fromInstance");
  w.string(m.fromInstance);
  w.key("from");
  w.integer(std::int64_t(m.from));
  w.key("to");
  w.integer(std::int64_t(m.to));
  for (auto [key, value] : {std::pair{"user", &m.user}, {"targetDevice", &m.targetDevice},
                            {"deviceId", &m.deviceId}, {"name", &m.name}, {"frame", &m.frame}}) {
    if (value->empty()) continue;
    w.key(key);
    w.string(*value);
  }
  w.endObject();
  return std::move(w).finish().value_or("");
}

std::optional<PeerMessage> decodePeerMessage(std::string_view text) {
  std::optional<JsonValue> json = parseBounded(text, kMaxMessageBytes);
  if (!json) return std::nullopt;
  JsonObjectReader r(*json->asObject());
  PeerMessage m;
  std::optional<PeerMessage::Kind> kind = r.requireEnum<PeerMessage::Kind>("kind", kindFromString);
  m.fromInstance = r.requireString("fromInstance").value_or("");
  const std::int64_t from = r.requireInt("from").value_or(-1);
  const std::int64_t to = r.requireInt("to").value_or(-1);
  m.user = r.optionalString("user").value_or("");
  m.targetDevice = r.optionalString("targetDevice").value_or("");
  m.deviceId = r.optionalString("deviceId").value_or("");
  m.name = r.optionalString("name").value_or("");
  m.frame = r.optionalString("frame").value_or("");
  if (!r || !kind || m.fromInstance.empty() || from < 0 || to < 0) return std::nullopt;
  for (const std::string* label : {&m.fromInstance, &m.user, &m.targetDevice, &m.deviceId, &m.name}) {
    if (!shortLabel(*label)) return std::nullopt;
  }
  m.kind = *kind;
  m.from = SocketId(from);
  m.to = SocketId(to);
  // What each kind cannot do without.
  switch (m.kind) {
    case PeerMessage::Kind::connect:
      if (m.user.empty() || m.targetDevice.empty() || m.deviceId.empty() || m.from == 0 || m.to == 0) return {};
      break;
    case PeerMessage::Kind::route:
      if (m.frame.empty() || m.from == 0 || m.to == 0) return std::nullopt;
      break;
    case PeerMessage::Kind::gone:
    case PeerMessage::Kind::refuseConnect:
    case PeerMessage::Kind::refuseRoute:
      if (m.from == 0 || m.to == 0) return std::nullopt;
      break;
    case PeerMessage::Kind::revoke:
      if (m.user.empty()) return std::nullopt;
      break;
  }
  return m;
}

}  // namespace orvane::server
