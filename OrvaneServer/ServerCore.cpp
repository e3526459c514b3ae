#include "OrvaneServer/ServerCore.h"

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace orvane::server {

namespace {
constexpr const char* kSubsystem = "com.kelbrin.Orvane.Server";
}

ServerCore::ServerCore(ServerOptions opts, Auth& a, const Clock& clock, LogSink& sink, std::string instance)
    : options(std::move(opts)),
      auth(a),
      wsLog(kSubsystem, "ws", sink),
      httpLog(kSubsystem, "http", sink),
      hub_(clock, Logger(kSubsystem, "hub", sink), options.hubLimits, options.iceServerIssuer, std::move(instance)),
      signIn_(clock, options.signInLimits) {
  if (options.webRoot) {
    std::error_code ec;
    auto root = std::filesystem::canonical(*options.webRoot, ec);
    if (ec || !std::filesystem::is_directory(root, ec)) {
      throw std::runtime_error("web root " + options.webRoot->string() + " is not a directory");
    }
    webRoot = std::move(root);
  }
  // Idle TLS sockets then hold no record buffers inside OpenSSL (TlsServerStream keeps none of its own).
  if (options.tls) SSL_CTX_set_mode(options.tls->native_handle(), SSL_MODE_RELEASE_BUFFERS);
}

std::uint64_t ServerCore::addConnection(std::weak_ptr<Connection> connection) {
  std::lock_guard lock(mutex_);
  if (stopping_ || connections_.size() >= options.maxConnections) return 0;
  std::uint64_t key = nextConnection_++;
  connections_.emplace(key, std::move(connection));
  return key;
}

void ServerCore::removeConnection(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  connections_.erase(key);
  if (connections_.empty()) drained_.notify_all();
}

void ServerCore::shutdownAll() {
  std::vector<std::shared_ptr<Connection>> live;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [key, weak] : connections_) {
      if (auto c = weak.lock()) live.push_back(std::move(c));
    }
  }
  for (auto& c : live) c->postShutdown();
}

void ServerCore::stopDelivery() {
  std::lock_guard lock(mutex_);
  delivering_ = false;
  links_.clear();
}

bool ServerCore::waitUntilNoConnections(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return drained_.wait_for(lock, limit, [&] { return connections_.empty(); });
}

std::optional<SocketId> ServerCore::admit(const SessionIdentity& identity) {
  std::lock_guard lock(mutex_);
  if (stopping_) return std::nullopt;
  return hub_.open(identity);
}

void ServerCore::attach(SocketId id, std::weak_ptr<WsLink> link) {
  std::lock_guard lock(mutex_);
  if (delivering_) links_[id] = std::move(link);
}

void ServerCore::frame(SocketId id, std::string_view text) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.frame(id, text));
}

void ServerCore::control(SocketId id) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.control(id));
}

void ServerCore::closed(SocketId id) {
  std::lock_guard lock(mutex_);
  links_.erase(id);
  dispatch(hub_.close(id));
}

void ServerCore::revokeUser(std::string_view userId) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.revokeUser(userId));
}

void ServerCore::setClusterPort(ClusterPort* port) {
  std::lock_guard lock(mutex_);
  cluster_ = port;
}

void ServerCore::remoteDevice(std::string_view presenceKey, const std::optional<DeviceRecord>& record) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.remoteDevice(presenceKey, record));
}

void ServerCore::remoteDevices(const std::vector<std::pair<std::string, DeviceRecord>>& records) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.remoteDevices(records));
}

void ServerCore::peerMessage(std::string_view text) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.peerMessage(text));
}

void ServerCore::undelivered(std::string_view instance, std::string_view text) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.undelivered(instance, text));
}

void ServerCore::instanceGone(std::string_view instance) {
  std::lock_guard lock(mutex_);
  dispatch(hub_.instanceGone(instance));
}

void ServerCore::announceAll() {
  std::lock_guard lock(mutex_);
  dispatch(hub_.announceAll());
}

std::vector<std::string> ServerCore::knownInstances() {
  std::lock_guard lock(mutex_);
  return hub_.knownInstances();
}

std::optional<double> ServerCore::signInWait(std::string_view source) {
  std::lock_guard lock(signInMutex_);
  return signIn_.wait(source);
}

std::optional<std::uint64_t> ServerCore::signInFailed(std::string_view source) {
  std::lock_guard lock(signInMutex_);
  return signIn_.failed(source);
}

void ServerCore::dispatch(HubActions actions) {
  for (HubAction& action : actions) {
    switch (action.kind) {
      case HubAction::Kind::publish:
        if (cluster_) cluster_->publish(action.target, std::move(action.text));
        continue;
      case HubAction::Kind::announce:
        if (cluster_) cluster_->announce(action.target, std::move(action.text));
        continue;
      case HubAction::Kind::withdraw:
        if (cluster_) cluster_->withdraw(action.target, std::move(action.text));
        continue;
      case HubAction::Kind::send:
      case HubAction::Kind::close:
        break;
    }
    auto it = links_.find(action.socket);
    if (it == links_.end()) continue;
    auto link = it->second.lock();
    if (!link) continue;
    if (action.kind == HubAction::Kind::send) {
      link->postFrame(std::make_shared<const std::string>(std::move(action.text)));
    } else {
      link->postClose(action.closeCode, std::move(action.text));
    }
  }
}

}  // namespace orvane::server
