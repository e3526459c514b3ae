#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orvane {

namespace {

bool validDelay(double seconds) { return std::isfinite(seconds) && seconds >= 0; }

}  // namespace

std::shared_ptr<WebSocketSignalingService> WebSocketSignalingService::create(
    SignalingRole role, std::string deviceId, std::string deviceName, Url serverURL, std::string sessionToken,
    std::shared_ptr<WebSocketTransport> transport, Executor& executor, LogSink& logSink,
    std::vector<double> reconnectDelays, double readyTimeoutSeconds, double keepAliveSeconds) {
  auto service = std::make_shared<WebSocketSignalingService>(
      Private{}, role, std::move(deviceId), std::move(deviceName), std::move(serverURL), std::move(sessionToken),
      std::move(transport), executor, logSink, std::move(reconnectDelays), readyTimeoutSeconds, keepAliveSeconds);
  std::weak_ptr<WebSocketSignalingService> weak = service;
  service->transport_->onText = [weak](std::string text) {
    if (auto self = weak.lock()) self->handleText(text);
  };
  service->transport_->onClose = [weak](std::optional<std::string>) {
    if (auto self = weak.lock()) self->handleClose();
  };
  return service;
}

WebSocketSignalingService::WebSocketSignalingService(Private, SignalingRole role, std::string deviceId,
                                                     std::string deviceName, Url serverURL, std::string sessionToken,
                                                     std::shared_ptr<WebSocketTransport> transport,
                                                     Executor& executor, LogSink& logSink,
                                                     std::vector<double> reconnectDelays, double readyTimeoutSeconds,
                                                     double keepAliveSeconds)
    : role_(role),
      deviceId_(std::move(deviceId)),
      deviceName_(std::move(deviceName)),
      serverURL_(std::move(serverURL)),
      sessionToken_(std::move(sessionToken)),
      transport_(std::move(transport)),
      executor_(executor),
      log_("com.kelbrin.Orvane.Core", "ws", logSink),
      reconnectDelays_(std::move(reconnectDelays)),
      readyTimeoutSeconds_(readyTimeoutSeconds),
      keepAliveSeconds_(keepAliveSeconds) {
  if (!transport_) throw std::invalid_argument("WebSocketSignalingService needs a transport");
  // With no delay there is no rule for when to reconnect; refuse rather than guess.
  if (reconnectDelays_.empty() || !std::all_of(reconnectDelays_.begin(), reconnectDelays_.end(), validDelay)) {
    throw std::invalid_argument("reconnectDelays must hold at least one delay, each finite and not negative");
  }
  if (!validDelay(readyTimeoutSeconds_)) throw std::invalid_argument("readyTimeoutSeconds must be finite and not negative");
}

void WebSocketSignalingService::start() {
  {
    std::lock_guard lock(reconnectLock_);
    isStopped_ = false;
    reconnectAttempt_ = 0;
    reconnectTask_.cancel();
  }
  connect();
}

void WebSocketSignalingService::stop() {
  {
    std::lock_guard lock(reconnectLock_);
    isStopped_ = true;
    reconnectTask_.cancel();
  }
  stopKeepAlive();
  transport_->close();
}

void WebSocketSignalingService::connect() {
  bool listingWaits;
  {
    std::lock_guard lock(pendingHostsLock_);
    listingWaits = pendingHosts_.has_value();
  }
  {
    std::lock_guard lock(reconnectLock_);
    ready_ = false;
    // A listing asked for while the connection was down must still be sent
    // on this one, or its caller would wait for ever.
    pendingListHostsSend_ = listingWaits;
  }
  if (listingWaits) spawnDetached(executor_, sendListHostsAfterReadyTimeout(weak_from_this(), readyTimeoutSeconds_));

  transport_->connect(serverURL_.appendingPath("/v1/ws"), "Bearer " + sessionToken_);

  WSEnvelope hello(WSType::hello);
  hello.role = std::string(toString(role_));
  hello.deviceId = deviceId_;
  hello.deviceName = deviceName_;
  sendDetached(std::move(hello));

  startKeepAlive();
}

void WebSocketSignalingService::handleText(const std::string& text) {
  auto decoded = wsDecode(text);
  if (!decoded) return;
  const WSEnvelope& frame = decoded.value();
  const std::optional<WSType> type = frame.knownType();
  if (!type) return;

  bool wasReady, listingDeferred;
  {
    std::lock_guard lock(reconnectLock_);
    reconnectAttempt_ = 0;
    wasReady = std::exchange(ready_, true);
    listingDeferred = std::exchange(pendingListHostsSend_, false);
  }
  if (!wasReady) log_.info("ready (first frame: %{public}s)", frame.type);
  if (listingDeferred) sendDetached(WSEnvelope(WSType::listHosts));

  switch (*type) {
    case WSType::connectRequest:
      if (onConnectionRequested) onConnectionRequested();
      break;
    case WSType::offer:
      if (frame.sdp && onMessage) onMessage(SignalingMessage::Offer{*frame.sdp});
      break;
    case WSType::answer:
      if (frame.sdp && onMessage) onMessage(SignalingMessage::Answer{*frame.sdp});
      break;
    case WSType::ice:
      if (frame.sdp && onMessage) {
        onMessage(SignalingMessage::IceCandidate{ICECandidateInfo{*frame.sdp, frame.sdpMLineIndex.value_or(0), frame.sdpMid}});
      }
      break;
    case WSType::hosts: {
      std::vector<HostInfo> hosts;
      if (frame.hosts) {
        for (const WSHost& host : *frame.hosts) hosts.push_back(host.toHostInfo());
      }
      log_.info("hosts reply: %{public}ld host(s)", static_cast<long>(hosts.size()));
      if (auto pending = takePendingHosts()) pending->resolve(std::move(hosts));
      break;
    }
    case WSType::peerGone:
      if (onPeerGone) onPeerGone();
      break;
    case WSType::error: {
      const std::string code = frame.code.value_or("");
      log_.error("server error: %{public}s", code);
      if (auto pending = takePendingHosts()) pending->resolve({});
      if (onError) onError(code, frame.message.value_or(""));
      break;
    }
    case WSType::welcome: {
      const std::size_t count = frame.iceServers ? frame.iceServers->size() : 0;
      {
        std::lock_guard lock(iceServersLock_);
        issuedIceServers_ = frame.iceServers;
      }
      if (count > 0) log_.info("welcome: %{public}ld ICE server(s) issued", static_cast<long>(count));
      break;
    }
    case WSType::hello:
    case WSType::listHosts:
    case WSType::bye:
      break;
  }
}

std::optional<std::vector<IceServerInfo>> WebSocketSignalingService::issuedIceServers() const {
  std::lock_guard lock(iceServersLock_);
  return issuedIceServers_;
}

void WebSocketSignalingService::handleClose() {
  {
    std::lock_guard lock(reconnectLock_);
    ready_ = false;
    pendingListHostsSend_ = false;
  }
  stopKeepAlive();
  auto pending = takePendingHosts();
  log_.info("transport closed (was discovering: %{bool,public}d)", pending.has_value());
  if (pending) pending->resolve({});
  scheduleReconnect();
}

void WebSocketSignalingService::scheduleReconnect() {
  std::lock_guard lock(reconnectLock_);
  if (isStopped_) return;
  const long attempts = static_cast<long>(reconnectDelays_.size());
  const long attempt = reconnectAttempt_;
  const double delay = reconnectDelays_[static_cast<std::size_t>(std::min(attempts - 1, attempt))];
  reconnectAttempt_ = std::min(attempts, attempt + 1);
  reconnectTask_ = spawn(executor_, reconnectAfter(weak_from_this(), delay, attempt + 1, attempts));
}

Task<void> WebSocketSignalingService::reconnectAfter(std::weak_ptr<WebSocketSignalingService> weak, double delay,
                                                     long attempt, long attempts) {
  co_await sleepFor(Seconds(delay));  // a cancelled sleep ends the task
  auto self = weak.lock();
  if (!self || self->isStopped()) co_return;
  self->log_.info("reconnecting (attempt %{public}ld/%{public}ld)…", attempt, attempts);
  self->connect();
}

void WebSocketSignalingService::startKeepAlive() {
  if (!(keepAliveSeconds_ > 0)) return;
  std::lock_guard lock(reconnectLock_);
  keepAliveTask_ = spawn(executor_, keepAlive(weak_from_this(), keepAliveSeconds_));
}

void WebSocketSignalingService::stopKeepAlive() {
  std::lock_guard lock(reconnectLock_);
  keepAliveTask_.cancel();
}

Task<void> WebSocketSignalingService::keepAlive(std::weak_ptr<WebSocketSignalingService> weak, double interval) {
  // The transport to ping, unless the service is gone or stopped. Only the
  // transport is held across the ping, never the service.
  auto liveTransport = [&weak]() -> std::shared_ptr<WebSocketTransport> {
    auto self = weak.lock();
    if (!self || self->isStopped()) return nullptr;
    return self->transport_;
  };
  for (;;) {
    co_await sleepFor(Seconds(interval));
    auto transport = liveTransport();
    if (!transport) co_return;
    std::optional<std::string> failure = co_await failureOf(transport->sendPing());
    if (!failure) continue;
    if (auto self = weak.lock()) {
      self->log_.info("keepAlive ping failed (%{public}s) → 短暂等待后重试一次", *failure);
    }

    bool cancelled = false;
    try {
      co_await sleepFor(Seconds(std::min(interval, 2.0)));
    } catch (const TaskCancelled&) {
      cancelled = true;
    }
    if (cancelled) co_return;
    transport = liveTransport();
    if (!transport) co_return;
    failure = co_await failureOf(transport->sendPing());
    if (!failure) continue;

    auto self = weak.lock();
    if (!self || self->isStopped()) co_return;
    self->log_.info("keepAlive ping failed (%{public}s) → 视为连接已死，重连", *failure);
    self->handleClose();
    co_return;
  }
}

bool WebSocketSignalingService::isStopped() {
  std::lock_guard lock(reconnectLock_);
  return isStopped_;
}

std::optional<WebSocketSignalingService::HostsResolver> WebSocketSignalingService::takePendingHosts() {
  std::lock_guard lock(pendingHostsLock_);
  return std::exchange(pendingHosts_, std::nullopt);
}

Task<std::vector<HostInfo>> WebSocketSignalingService::listHosts() {
  auto shot = makeOneShot<std::vector<HostInfo>>();
  std::optional<HostsResolver> superseded;
  {
    std::lock_guard lock(pendingHostsLock_);
    superseded = std::exchange(pendingHosts_, std::move(shot.first));
  }
  if (superseded) superseded->resolve({});  // the newest caller wins

  bool sendNow;
  {
    std::lock_guard lock(reconnectLock_);
    sendNow = ready_;
    if (!sendNow) pendingListHostsSend_ = true;
  }
  if (sendNow) {
    sendDetached(WSEnvelope(WSType::listHosts));
  } else {
    spawnDetached(executor_, sendListHostsAfterReadyTimeout(weak_from_this(), readyTimeoutSeconds_));
  }

  try {
    co_return co_await shot.second;
  } catch (const BrokenPromise&) {
    // The service went away with the listing pending.
  }
  co_return std::vector<HostInfo>{};
}

Task<void> WebSocketSignalingService::sendListHostsAfterReadyTimeout(std::weak_ptr<WebSocketSignalingService> weak,
                                                                      double timeout) {
  try {
    co_await sleepFor(Seconds(timeout));
  } catch (const TaskCancelled&) {
  }
  auto self = weak.lock();
  if (!self) co_return;
  bool stillDeferred;
  {
    std::lock_guard lock(self->reconnectLock_);
    stillDeferred = std::exchange(self->pendingListHostsSend_, false);
  }
  if (!stillDeferred) co_return;
  self->log_.info("listHosts: ready timeout, sending best-effort");
  self->sendDetached(WSEnvelope(WSType::listHosts));
}

void WebSocketSignalingService::sendDetached(WSEnvelope envelope) {
  spawnDetached(executor_, [weak = weak_from_this(), text = wsEncode(envelope)]() -> Task<void> {
    std::shared_ptr<WebSocketTransport> transport;
    if (auto self = weak.lock()) {
      transport = self->transport_;
    } else {
      co_return;
    }
    try {
      co_await transport->send(text);
    } catch (...) {
    }
  });
}

Task<void> WebSocketSignalingService::send(WSEnvelope envelope) { co_await transport_->send(wsEncode(envelope)); }

Task<void> WebSocketSignalingService::sendConnectionRequest(HostInfo host) {
  WSEnvelope request(WSType::connectRequest);
  request.targetDeviceId = std::move(host.id);
  co_await send(std::move(request));
}

Task<void> WebSocketSignalingService::sendOffer(std::string sdp) {
  WSEnvelope offer(WSType::offer);
  offer.sdp = std::move(sdp);
  co_await send(std::move(offer));
}

Task<void> WebSocketSignalingService::sendAnswer(std::string sdp) {
  WSEnvelope answer(WSType::answer);
  answer.sdp = std::move(sdp);
  co_await send(std::move(answer));
}

Task<void> WebSocketSignalingService::sendICECandidate(ICECandidateInfo candidate) {
  WSEnvelope ice(WSType::ice);
  ice.sdp = std::move(candidate.sdp);
  ice.sdpMLineIndex = candidate.sdpMLineIndex;
  ice.sdpMid = std::move(candidate.sdpMid);
  co_await send(std::move(ice));
}

Task<void> WebSocketSignalingService::clearSession() { co_await send(WSEnvelope(WSType::bye)); }

Task<void> WebSocketSignalingService::resetForNextSession() {
  try {
    co_await send(WSEnvelope(WSType::bye));
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
}

}  // namespace orvane
