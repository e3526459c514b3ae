#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

#include <array>
#include <chrono>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"

namespace orvane {

namespace {

constexpr std::array<std::string_view, 11> kTypeNames = {
    "hello", "listHosts", "connectRequest", "offer", "answer", "ice", "bye", "welcome", "hosts", "peerGone", "error",
};

void writeOptional(JsonWriter& writer, std::string_view key, const std::optional<std::string>& value) {
  if (!value) return;
  writer.key(key);
  writer.string(*value);
}

void writeOptional(JsonWriter& writer, std::string_view key, const std::optional<std::int64_t>& value) {
  if (!value) return;
  writer.key(key);
  writer.integer(*value);
}

DecodeResult<std::vector<WSHost>> readHosts(const JsonValue::Array& array) {
  std::vector<WSHost> hosts;
  hosts.reserve(array.size());
  for (const JsonValue& element : array) {
    const JsonValue::Object* object = element.asObject();
    if (object == nullptr) return DecodeResult<std::vector<WSHost>>::failure("a host is not an object");
    JsonObjectReader reader(*object);
    WSHost host;
    if (auto v = reader.requireString("deviceId")) host.deviceId = std::move(*v);
    if (auto v = reader.requireString("name")) host.name = std::move(*v);
    if (auto v = reader.requireInt("lastSeen")) host.lastSeen = *v;
    if (!reader) return DecodeResult<std::vector<WSHost>>::failure(concatText({"bad host: ", reader.error()}));
    hosts.push_back(std::move(host));
  }
  return hosts;
}

bool isIceUrl(const std::string& url) {
  if (url.empty() || url.size() > kMaxIceFieldBytes) return false;
  for (std::string_view scheme : {"stun:", "stuns:", "turn:", "turns:"}) {
    if (url.starts_with(scheme) && url.size() > scheme.size()) return true;
  }
  return false;
}

bool isBoundedText(const std::optional<std::string>& text) {
  if (!text) return true;
  if (text->size() > kMaxIceFieldBytes) return false;
  for (unsigned char c : *text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

DecodeResult<std::vector<IceServerInfo>> readIceServers(const JsonValue::Array& array) {
  using Result = DecodeResult<std::vector<IceServerInfo>>;
  if (array.size() > kMaxIssuedIceServers) return Result::failure("too many iceServers");
  std::vector<IceServerInfo> servers;
  servers.reserve(array.size());
  for (const JsonValue& element : array) {
    const JsonValue::Object* object = element.asObject();
    if (object == nullptr) return Result::failure("an ice server is not an object");
    JsonObjectReader reader(*object);
    IceServerInfo server;
    const JsonValue::Array* urls = reader.requireArray("urls");
    server.username = reader.optionalString("username");
    server.credential = reader.optionalString("credential");
    if (!reader) return Result::failure(concatText({"bad ice server: ", reader.error()}));
    if (urls->empty() || urls->size() > kMaxIssuedIceUrls) return Result::failure("bad ice server: urls count");
    for (const JsonValue& url : *urls) {
      const std::string* text = url.asString();
      if (text == nullptr || !isIceUrl(*text)) return Result::failure("bad ice server: not a STUN or TURN URL");
      server.urls.push_back(*text);
    }
    if (!isBoundedText(server.username) || !isBoundedText(server.credential)) {
      return Result::failure("bad ice server: credentials");
    }
    servers.push_back(std::move(server));
  }
  return servers;
}

void writeIceServers(JsonWriter& writer, const std::vector<IceServerInfo>& servers) {
  writer.key("iceServers");
  writer.beginArray();
  for (const IceServerInfo& server : servers) {
    writer.beginObject();
    writer.key("urls");
    writer.beginArray();
    for (const std::string& url : server.urls) writer.string(url);
    writer.endArray();
    writeOptional(writer, "username", server.username);
    writeOptional(writer, "credential", server.credential);
    writer.endObject();
  }
  writer.endArray();
}

}  // namespace

std::string_view toString(WSType type) { return kTypeNames[static_cast<std::size_t>(type)]; }

std::optional<WSType> wsTypeFromString(std::string_view text) {
  for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
    if (kTypeNames[i] == text) return static_cast<WSType>(i);
  }
  return std::nullopt;
}

HostInfo WSHost::toHostInfo() const {
  // Whole seconds since 1970, as the server counts them.
  return HostInfo{deviceId, name, std::chrono::system_clock::time_point(std::chrono::seconds(lastSeen))};
}

std::string wsEncode(const WSEnvelope& e) {
  JsonWriter writer(256 + (e.sdp ? e.sdp->size() : 0));
  writer.beginObject();
  writer.key("type");
  writer.string(e.type);
  writeOptional(writer, "id", e.id);
  writeOptional(writer, "role", e.role);
  writeOptional(writer, "deviceId", e.deviceId);
  writeOptional(writer, "deviceName", e.deviceName);
  writeOptional(writer, "targetDeviceId", e.targetDeviceId);
  writeOptional(writer, "fromDeviceId", e.fromDeviceId);
  writeOptional(writer, "fromName", e.fromName);
  writeOptional(writer, "sdp", e.sdp);
  if (e.sdpMLineIndex) writeOptional(writer, "sdpMLineIndex", std::optional<std::int64_t>(*e.sdpMLineIndex));
  writeOptional(writer, "sdpMid", e.sdpMid);
  if (e.hosts) {
    writer.key("hosts");
    writer.beginArray();
    for (const WSHost& host : *e.hosts) {
      writer.beginObject();
      writer.key("deviceId");
      writer.string(host.deviceId);
      writer.key("name");
      writer.string(host.name);
      writer.key("lastSeen");
      writer.integer(host.lastSeen);
      writer.endObject();
    }
    writer.endArray();
  }
  writeOptional(writer, "serverTime", e.serverTime);
  writeOptional(writer, "peerDeviceId", e.peerDeviceId);
  writeOptional(writer, "code", e.code);
  writeOptional(writer, "message", e.message);
  if (e.iceServers) writeIceServers(writer, *e.iceServers);
  writer.endObject();
  return *std::move(writer).finish();  // no doubles: cannot fail
}

DecodeResult<WSEnvelope> wsDecode(std::string_view text) {
  DecodeResult<JsonValue> parsed = parseJsonObject(text);
  if (!parsed) return DecodeResult<WSEnvelope>::failure(parsed.error());
  JsonObjectReader reader(*parsed.value().asObject());
  WSEnvelope e;
  if (auto type = reader.requireString("type")) e.type = std::move(*type);
  e.id = reader.optionalString("id");
  e.role = reader.optionalString("role");
  e.deviceId = reader.optionalString("deviceId");
  e.deviceName = reader.optionalString("deviceName");
  e.targetDeviceId = reader.optionalString("targetDeviceId");
  e.fromDeviceId = reader.optionalString("fromDeviceId");
  e.fromName = reader.optionalString("fromName");
  e.sdp = reader.optionalString("sdp");
  e.sdpMLineIndex = reader.optionalInt32("sdpMLineIndex");
  e.sdpMid = reader.optionalString("sdpMid");
  if (const JsonValue::Array* hosts = reader.optionalArray("hosts")) {
    DecodeResult<std::vector<WSHost>> decoded = readHosts(*hosts);
    if (!decoded) return DecodeResult<WSEnvelope>::failure(decoded.error());
    e.hosts = std::move(decoded).value();
  }
  e.serverTime = reader.optionalInt("serverTime");
  e.peerDeviceId = reader.optionalString("peerDeviceId");
  e.code = reader.optionalString("code");
  e.message = reader.optionalString("message");
  const JsonValue::Array* iceServers = reader.optionalArray("iceServers");
  if (!reader) return reader.failure<WSEnvelope>();
  if (iceServers != nullptr) {
    DecodeResult<std::vector<IceServerInfo>> decoded = readIceServers(*iceServers);
    if (!decoded) return DecodeResult<WSEnvelope>::failure(decoded.error());
    e.iceServers = std::move(decoded).value();
  }
  return e;
}

}  // namespace orvane
