#include "OrvaneServer/Hub.h"

#include <algorithm>
#include <chrono>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane::server {

namespace {

constexpr std::string_view kMac = "mac";
constexpr std::string_view kPad = "pad";
constexpr std::uint16_t kClosePolicy = 1008;  // RFC 6455 policy violation

void send(HubActions& out, SocketId to, const WSEnvelope& e) {
  out.push_back({HubAction::Kind::send, to, wsEncode(e), 0, {}});
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

Hub::Hub(const Clock& clock, Logger log, HubLimits limits, IceServerIssuer issuer, std::string instance)
    : clock_(clock), log_(std::move(log)), limits_(limits), issuer_(std::move(issuer)), instance_(std::move(instance)) {}

std::int64_t Hub::nowSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow().time_since_epoch()).count();
}

std::int64_t Hub::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.wallNow().time_since_epoch()).count();
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
  Socket& s = it->second;
  s.lastSeen = nowSeconds();
  if (s.registered && s.refreshAt && s.lastSeen >= *s.refreshAt) welcome(id, s, out);
  // Lists show a host's lastSeen: other instances follow it, a second at most behind.
  if (s.registered && s.role == kMac && s.lastSeen > s.announced) announce(id, s, out);
  return out;
}

HubActions Hub::frame(SocketId id, std::string_view text) {
  HubActions out = control(id);
  auto it = sockets_.find(id);
  if (it == sockets_.end()) return out;  // dropped for its rate
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
  s.sinceMs = nowMs();
  devices_[key] = id;
  announce(id, s, out);
  log_.info("ws#%{public}llu hello: %{public}s %{public}s \"%{public}s\" of user %{public}s", id, role,
            printable(deviceId), printable(s.deviceName), printable(s.identity.userId));

  welcome(id, s, out);
}

void Hub::welcome(SocketId id, Socket& s, HubActions& out) {
  WSEnvelope e(WSType::welcome);
  e.serverTime = nowSeconds();
  s.refreshAt.reset();
  if (issuer_) {
    if (std::optional<IssuedIceServers> issued = issuer_(s.identity.userId, *e.serverTime)) {
      e.iceServers = std::move(issued->servers);
      s.refreshAt = issued->issuedAt + std::max<std::int64_t>(1, (issued->expiresAt - issued->issuedAt) / 2);
    }
  }
  send(out, id, e);
}

void Hub::listHosts(SocketId id, const Socket& s, HubActions& out) {
  const std::string& user = s.identity.userId;
  std::map<std::string, WSHost> hosts;  // by device id, a device here before its older record elsewhere
  for (auto it = remote_.lower_bound({user, ""}); it != remote_.end() && it->first.first == user; ++it) {
    if (it->second.role == kMac) hosts[it->first.second] = WSHost{it->first.second, it->second.name, it->second.lastSeen};
  }
  for (auto it = devices_.lower_bound({user, ""}); it != devices_.end() && it->first.first == user; ++it) {
    const Socket& device = sockets_.at(it->second);
    if (device.role == kMac) hosts[device.deviceId] = WSHost{device.deviceId, device.deviceName, device.lastSeen};
  }
  hosts.erase(s.deviceId);
  WSEnvelope reply(WSType::hosts);
  reply.hosts.emplace();
  for (auto& [device, host] : hosts) reply.hosts->push_back(std::move(host));
  send(out, id, reply);
}

void Hub::connectRequest(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out) {
  if (s.role != kPad) return sendError(out, id, WSCode::badRequest, "only a pad can request a connection");
  if (!e.targetDeviceId) return sendError(out, id, WSCode::badRequest, "connectRequest needs targetDeviceId");
  // Unknown, offline and other users' hosts look the same: nothing to learn here.
  const DeviceKey key{s.identity.userId, *e.targetDeviceId};
  if (auto target = devices_.find(key); target != devices_.end() && sockets_.at(target->second).role == kMac) {
    const SocketId hostId = target->second;
    Socket& host = sockets_.at(hostId);
    if (!s.partner.is("", hostId)) {
      unpair(id, out);
      unpair(hostId, out);
      s.partner = {"", hostId, host.deviceId};
      host.partner = {"", id, s.deviceId};
      log_.info("ws#%{public}llu paired with ws#%{public}llu (pad %{public}s, host %{public}s)", id, hostId,
                printable(s.deviceId), printable(host.deviceId));
    }
    WSEnvelope request(WSType::connectRequest);
    request.fromDeviceId = s.deviceId;
    request.fromName = s.deviceName;
    send(out, hostId, request);
    return;
  }
  auto remote = remote_.find(key);
  if (remote == remote_.end() || remote->second.role != kMac) {
    return sendError(out, id, WSCode::hostOffline, "host is offline");
  }
  // The host's instance pairs its side when the request reaches it, or refuses.
  const DeviceRecord& host = remote->second;
  if (!s.partner.is(host.instance, host.socket)) {
    unpair(id, out);
    s.partner = {host.instance, host.socket, key.second};
    log_.info("ws#%{public}llu paired with ws#%{public}llu on %{public}s (pad %{public}s, host %{public}s)", id,
              host.socket, printable(host.instance), printable(s.deviceId), printable(key.second));
  }
  PeerMessage m;
  m.kind = PeerMessage::Kind::connect;
  m.from = id;
  m.to = host.socket;
  m.user = s.identity.userId;
  m.targetDevice = key.second;
  m.deviceId = s.deviceId;
  m.name = s.deviceName;
  publish(host.instance, std::move(m), out);
}

void Hub::route(SocketId id, Socket& s, const WSEnvelope& e, HubActions& out) {
  const bool bye = e.knownType() == WSType::bye;
  if (!bye && !e.sdp) return sendError(out, id, WSCode::badRequest, "sdp is missing");
  if (s.partner.socket == 0) {
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
  if (s.partner.instance.empty()) return send(out, s.partner.socket, forward);
  PeerMessage m;
  m.kind = PeerMessage::Kind::route;
  m.from = id;
  m.to = s.partner.socket;
  m.frame = wsEncode(forward);
  publish(s.partner.instance, std::move(m), out);
}

HubActions Hub::close(SocketId id) {
  HubActions out;
  if (!sockets_.contains(id)) return out;
  unpair(id, out);
  forget(id, out);
  return out;
}

HubActions Hub::revokeUser(std::string_view userId) {
  HubActions out;
  revokeHere(userId, out);
  if (clustered()) {
    PeerMessage m;
    m.kind = PeerMessage::Kind::revoke;
    m.user = std::string(userId);
    publish("", std::move(m), out);
  }
  return out;
}

void Hub::revokeHere(std::string_view userId, HubActions& out) {
  std::vector<SocketId> ids;
  for (const auto& [id, s] : sockets_) {
    if (s.identity.userId == userId) ids.push_back(id);
  }
  // Partners are of the same user and go too (elsewhere by the same revocation): no peerGone for them.
  for (SocketId id : ids) sockets_.at(id).partner = {};
  for (SocketId id : ids) drop(id, limits::kCloseRevoked, "account deleted", out);
}

HubActions Hub::remoteDevice(std::string_view presenceKey, const std::optional<DeviceRecord>& record) {
  HubActions out;
  auto key = splitPresenceKey(presenceKey);
  if (!key) return out;
  if (!record || record->instance == instance_) {
    remote_.erase(*key);
    return out;
  }
  remote_[*key] = *record;
  auto local = devices_.find(*key);
  if (local != devices_.end() && sockets_.at(local->second).sinceMs < record->sinceMs) {
    log_.info("ws#%{public}llu replaced by a connection on %{public}s for device %{public}s", local->second,
              printable(record->instance), printable(key->second));
    drop(local->second, limits::kCloseReplaced, "replaced by a newer connection", out);
  }
  return out;
}

HubActions Hub::remoteDevices(const std::vector<std::pair<std::string, DeviceRecord>>& records) {
  HubActions out;
  remote_.clear();
  for (const auto& [key, record] : records) {
    HubActions more = remoteDevice(key, record);
    out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  return out;
}

HubActions Hub::peerMessage(std::string_view text) {
  HubActions out;
  std::optional<PeerMessage> m = decodePeerMessage(text);
  if (!m) {
    log_.error("dropped a malformed message from another instance");
    return out;
  }
  if (m->fromInstance == instance_) return out;  // our own broadcast
  auto it = sockets_.find(m->to);
  const bool paired = it != sockets_.end() && it->second.partner.is(m->fromInstance, m->from);
  switch (m->kind) {
    case PeerMessage::Kind::connect:
      acceptConnect(*m, out);
      break;
    case PeerMessage::Kind::route: {
      auto frame = wsDecode(m->frame);
      const auto type = frame ? frame.value().knownType() : std::nullopt;
      if (!type || (*type != WSType::offer && *type != WSType::answer && *type != WSType::ice && *type != WSType::bye)) {
        log_.error("dropped a routed frame that is not signalling");
      } else if (paired) {
        out.push_back({HubAction::Kind::send, m->to, std::move(m->frame), 0, {}});
      } else {
        PeerMessage refusal;
        refusal.kind = PeerMessage::Kind::refuseRoute;
        refusal.from = m->to;
        refusal.to = m->from;
        publish(m->fromInstance, std::move(refusal), out);
      }
      break;
    }
    case PeerMessage::Kind::gone:
      if (paired) {
        it->second.partner = {};
        WSEnvelope gone(WSType::peerGone);
        gone.peerDeviceId = m->deviceId;
        send(out, m->to, gone);
      }
      break;
    case PeerMessage::Kind::refuseConnect:
    case PeerMessage::Kind::refuseRoute:
      refused(m->kind, m->to, m->fromInstance, m->from, out);
      break;
    case PeerMessage::Kind::revoke:
      revokeHere(m->user, out);
      break;
  }
  return out;
}

void Hub::acceptConnect(const PeerMessage& m, HubActions& out) {
  auto it = sockets_.find(m.to);
  if (it == sockets_.end() || !it->second.registered || it->second.role != kMac ||
      it->second.deviceId != m.targetDevice || it->second.identity.userId != m.user) {
    PeerMessage refusal;
    refusal.kind = PeerMessage::Kind::refuseConnect;
    refusal.from = m.to;
    refusal.to = m.from;
    return publish(m.fromInstance, std::move(refusal), out);
  }
  Socket& host = it->second;
  if (!host.partner.is(m.fromInstance, m.from)) {
    unpair(m.to, out);
    host.partner = {m.fromInstance, m.from, m.deviceId};
    log_.info("ws#%{public}llu paired with ws#%{public}llu on %{public}s (pad %{public}s, host %{public}s)", m.to,
              m.from, printable(m.fromInstance), printable(m.deviceId), printable(host.deviceId));
  }
  WSEnvelope request(WSType::connectRequest);
  request.fromDeviceId = m.deviceId;
  request.fromName = m.name;
  send(out, m.to, request);
}

// The partner `partner` on `instance` is not there: as if it had left.
void Hub::refused(PeerMessage::Kind kind, SocketId id, std::string_view instance, SocketId partner, HubActions& out) {
  auto it = sockets_.find(id);
  if (it == sockets_.end() || !it->second.partner.is(instance, partner)) return;
  const std::string deviceId = std::exchange(it->second.partner, {}).deviceId;
  if (kind == PeerMessage::Kind::refuseConnect) return sendError(out, id, WSCode::hostOffline, "host is offline");
  WSEnvelope gone(WSType::peerGone);
  gone.peerDeviceId = deviceId;
  send(out, id, gone);
}

HubActions Hub::undelivered(std::string_view instance, std::string_view text) {
  HubActions out;
  std::optional<PeerMessage> m = decodePeerMessage(text);
  if (!m || m->fromInstance != instance_) return out;
  if (m->kind == PeerMessage::Kind::connect) refused(PeerMessage::Kind::refuseConnect, m->from, instance, m->to, out);
  if (m->kind == PeerMessage::Kind::route) refused(PeerMessage::Kind::refuseRoute, m->from, instance, m->to, out);
  return out;
}

HubActions Hub::instanceGone(std::string_view instance) {
  HubActions out;
  std::erase_if(remote_, [&](const auto& entry) { return entry.second.instance == instance; });
  for (auto& [id, s] : sockets_) {
    if (s.partner.socket == 0 || s.partner.instance != instance) continue;
    WSEnvelope gone(WSType::peerGone);
    gone.peerDeviceId = std::exchange(s.partner, {}).deviceId;
    send(out, id, gone);
  }
  return out;
}

HubActions Hub::announceAll() {
  HubActions out;
  for (const auto& [key, id] : devices_) announce(id, sockets_.at(id), out);
  return out;
}

std::vector<std::string> Hub::knownInstances() const {
  std::vector<std::string> instances;
  for (const auto& [key, record] : remote_) instances.push_back(record.instance);
  for (const auto& [id, s] : sockets_) {
    if (s.partner.socket != 0 && !s.partner.instance.empty()) instances.push_back(s.partner.instance);
  }
  std::sort(instances.begin(), instances.end());
  instances.erase(std::unique(instances.begin(), instances.end()), instances.end());
  return instances;
}

void Hub::announce(SocketId id, Socket& s, HubActions& out) {
  s.announced = s.lastSeen;
  if (!clustered()) return;
  out.push_back({HubAction::Kind::announce, id, encodeDeviceRecord(recordOf(id, s)), 0,
                 presenceKey(s.identity.userId, s.deviceId)});
}

DeviceRecord Hub::recordOf(SocketId id, const Socket& s) const {
  return DeviceRecord{instance_, id, s.role, s.deviceName, s.sinceMs, s.lastSeen};
}

void Hub::publish(std::string_view instance, PeerMessage m, HubActions& out) const {
  m.fromInstance = instance_;
  out.push_back({HubAction::Kind::publish, 0, encodePeerMessage(m), 0, std::string(instance)});
}

void Hub::unpair(SocketId id, HubActions& out) {
  Socket& s = sockets_.at(id);
  if (s.partner.socket == 0) return;
  const Partner partner = std::exchange(s.partner, {});
  if (!partner.instance.empty()) {
    PeerMessage m;
    m.kind = PeerMessage::Kind::gone;
    m.from = id;
    m.to = partner.socket;
    m.deviceId = s.deviceId;
    return publish(partner.instance, std::move(m), out);
  }
  sockets_.at(partner.socket).partner = {};
  WSEnvelope gone(WSType::peerGone);
  gone.peerDeviceId = s.deviceId;
  send(out, partner.socket, gone);
}

void Hub::drop(SocketId id, std::uint16_t code, std::string reason, HubActions& out) {
  unpair(id, out);
  forget(id, out);
  out.push_back({HubAction::Kind::close, id, std::move(reason), code, {}});
}

void Hub::forget(SocketId id, HubActions& out) {
  auto it = sockets_.find(id);
  const Socket& s = it->second;
  if (s.registered) {
    auto device = devices_.find({s.identity.userId, s.deviceId});
    if (device != devices_.end() && device->second == id) {
      devices_.erase(device);
      if (clustered()) {
        out.push_back({HubAction::Kind::withdraw, id, encodeDeviceRecord(recordOf(id, s)), 0,
                       presenceKey(s.identity.userId, s.deviceId)});
      }
    }
  }
  auto count = socketsPerUser_.find(s.identity.userId);
  if (--count->second == 0) socketsPerUser_.erase(count);
  sockets_.erase(it);
}

}  // namespace orvane::server
