#include "OrvaneServer/Hub.h"

#include <chrono>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane::server {

namespace {

constexpr std::string_view kMac = "mac";
constexpr std::string_view kPad = "pad";
constexpr std::uint16_t kClosePolicy = 1008;  // RFC 6455 policy violation

void send(HubActions& out, SocketId to, const WSEnvelope& e) {
  out.push_back({HubAction::Kind::send, to, wsEncode(e), 0});
}

void sendError(HubActions& out, SocketId to, std::string_view code, std::string_view message) {
  WSEnvelope e(WSType::error);
  e.code = std::string(code);
  e.message = std::string(message);
  send(out, to, e);
}

bool hasControlCharacters(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out(text.substr(0, 200));
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '"') c = '?';
  }
  return out;
}

Hub::Hub(const Clock& clock, Logger log, HubLimits limits) : clock_(clock), log_(std::move(log)), limits_(limits) {}

std::int64_t Hub::nowSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow().time_since_epoch()).count();
}

std::optional<SocketId> Hub::open(const SessionIdentity& identity) {
  std::size_t& count = socketsPerUser_[identity.userId];
  if (count >= limits_.maxSocketsPerUser) return std::nullopt;
  ++count;
  SocketId id = nextId_++;
  sockets_.emplace(id, Socket(identity, TokenBucket(limits_.framesPerSecond, limits_.frameBurst, clock_.uptime())));
  return id;
}

HubActions Hub::control(SocketId id) {
  HubActions out;
  auto it = sockets_.find(id);
  if (it == sockets_.end()) return out;
  if (!it->second.bucket.take(clock_.uptime())) {
    drop(id, kClosePolicy, "too many frames", out);
    return out;
  }
  it->second.lastSeen = nowSeconds();
  return out;
}

HubActions Hub::frame(SocketId id, std::string_view text) {
  HubActions out = control(id);
  auto it = sockets_.find(id);
  if (!out.empty() || it == sockets_.end()) return out;
  Socket& s = it->second;

  auto decoded = wsDecode(text);
  if (!decoded) {
    sendError(out, id, WSCode::badRequest, "malformed frame");
    return out;
  }
  const WSEnvelope& e = decoded.value();
  std::optional<WSType> type = e.knownType();
  if (!type) {
    sendError(out, id, WSCode::badRequest, "unknown frame type");
    return out;
  }
  if (*type != WSType::hello && !s.registered) {
    sendError(out, id, WSCode::badRequest, "send hello first");
    return out;
  }
  switch (*type) {
    case WSType::hello:
      hello(id, s, e, out);
      break;
    case WSType::listHosts:
      listHosts(id, s, out);
      break;
    case WSType::connectRequest:
      connectRequest(id, s, e, out);
      break;
    case WSType::offer:
    case WSType::answer:
    case WSType::ice:
    case WSType::bye:
      route(id, s, e, out);
      break;
    case WSType::welcome:
    case WSType::hosts:
    case WSType::peerGone:
    case WSType::error:
      sendError(out, id, WSCode::badRequest, "not a client frame");
      break;
  }
  return out;
}

void Hub::hello(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out) {
  if (s.registered) return sendError(out, id, WSCode::badRequest, "hello was already sent");
  const std::string role = e.role.value_or("");
  const std::string deviceId = e.deviceId.value_or("");
  std::string name = e.deviceName.value_or(s.identity.deviceName);
  if ((role != kMac && role != kPad) || deviceId.empty() || deviceId.size() > limits::kMaxIdBytes ||
      hasControlCharacters(deviceId) || name.size() > limits::kMaxNameBytes) {
    return sendError(out, id, WSCode::badRequest, "hello needs role mac or pad, a deviceId and a short deviceName");
  }
  // A token stands for one device: it must not speak for another one.
  if ((!s.identity.deviceId.empty() && deviceId != s.identity.deviceId) ||
      (!s.identity.role.empty() && role != s.identity.role)) {
    return sendError(out, id, WSCode::notAuthorized, "hello does not match the session token's device");
  }
  if (name.empty()) name = deviceId;

  DeviceKey key{s.identity.userId, deviceId};
  if (auto old = devices_.find(key); old != devices_.end()) {
    log_.info("ws#%{public}llu replaces ws#%{public}llu for device %{public}s", id, old->second, printable(deviceId));
    drop(old->second, limits::kCloseReplaced, "replaced by a newer connection", out);
  }
  s.registered = true;
  s.role = role;
  s.deviceId = deviceId;
  s.deviceName = std::move(name);
  s.lastSeen = nowSeconds();
  devices_[key] = id;
  log_.info("ws#%{public}llu hello: %{public}s %{public}s \"%{public}s\" of user %{public}s", id, role,
            printable(deviceId), printable(s.deviceName), printable(s.identity.userId));

  WSEnvelope welcome(WSType::welcome);
  welcome.serverTime = nowSeconds();
  send(out, id, welcome);
}

void Hub::listHosts(SocketId id, const Socket& s, HubActions& out) {
  WSEnvelope reply(WSType::hosts);
  reply.hosts.emplace();
  const std::string& user = s.identity.userId;
  for (auto it = devices_.lower_bound({user, ""}); it != devices_.end() && it->first.first == user; ++it) {
    const Socket& host = sockets_.at(it->second);
    if (it->second == id || host.role != kMac) continue;
    reply.hosts->push_back(WSHost{host.deviceId, host.deviceName, host.lastSeen});
  }
  send(out, id, reply);
}

void Hub::connectRequest(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out) {
  if (s.role != kPad) return sendError(out, id, WSCode::badRequest, "only a pad can request a connection");
  if (!e.targetDeviceId) return sendError(out, id, WSCode::badRequest, "connectRequest needs targetDeviceId");
  // Unknown, offline and other users' hosts look the same: nothing to learn here.
  auto target = devices_.find({s.identity.userId, *e.targetDeviceId});
  if (target == devices_.end() || sockets_.at(target->second).role != kMac) {
    return sendError(out, id, WSCode::hostOffline, "host is offline");
  }
  const SocketId hostId = target->second;
  Socket& host = sockets_.at(hostId);
  if (s.partner != hostId) {
    unpair(id, out);
    unpair(hostId, out);
    s.partner = hostId;
    host.partner = id;
    log_.info("ws#%{public}llu paired with ws#%{public}llu (pad %{public}s, host %{public}s)", id, hostId,
              printable(s.deviceId), printable(host.deviceId));
  }
  WSEnvelope request(WSType::connectRequest);
  request.fromDeviceId = s.deviceId;
  request.fromName = s.deviceName;
  send(out, hostId, request);
}

void Hub::route(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out) {
  const bool bye = e.knownType() == WSType::bye;
  if (!bye && !e.sdp) return sendError(out, id, WSCode::badRequest, "sdp is missing");
  if (s.partner == 0) {
    // A bye after the peer left is the normal end of a session, not an error.
    if (!bye) sendError(out, id, WSCode::hostOffline, "no paired device");
    return;
  }
  // Only what the peer needs travels on; the sender is named by the server.
  WSEnvelope forward(*e.knownType());
  forward.id = e.id;
  forward.sdp = e.sdp;
  forward.sdpMLineIndex = e.sdpMLineIndex;
  forward.sdpMid = e.sdpMid;
  forward.fromDeviceId = s.deviceId;
  forward.fromName = s.deviceName;
  send(out, s.partner, forward);
}

HubActions Hub::close(SocketId id) {
  HubActions out;
  if (!sockets_.contains(id)) return out;
  unpair(id, out);
  forget(id);
  return out;
}

HubActions Hub::revokeUser(std::string_view userId) {
  HubActions out;
  std::vector<SocketId> ids;
  for (const auto& [id, s] : sockets_) {
    if (s.identity.userId == userId) ids.push_back(id);
  }
  // Partners are of the same user and go too: no peerGone for them.
  for (SocketId id : ids) sockets_.at(id).partner = 0;
  for (SocketId id : ids) drop(id, limits::kCloseRevoked, "account deleted", out);
  return out;
}

void Hub::unpair(SocketId id, HubActions& out) {
  Socket& s = sockets_.at(id);
  if (s.partner == 0) return;
  Socket& partner = sockets_.at(s.partner);
  partner.partner = 0;
  WSEnvelope gone(WSType::peerGone);
  gone.peerDeviceId = s.deviceId;
  send(out, s.partner, gone);
  s.partner = 0;
}

void Hub::drop(SocketId id, std::uint16_t code, std::string reason, HubActions& out) {
  unpair(id, out);
  forget(id);
  out.push_back({HubAction::Kind::close, id, std::move(reason), code});
}

void Hub::forget(SocketId id) {
  auto it = sockets_.find(id);
  const Socket& s = it->second;
  if (s.registered) {
    auto device = devices_.find({s.identity.userId, s.deviceId});
    if (device != devices_.end() && device->second == id) devices_.erase(device);
  }
  auto count = socketsPerUser_.find(s.identity.userId);
  if (--count->second == 0) socketsPerUser_.erase(count);
  sockets_.erase(it);
}

}  // namespace orvane::server
