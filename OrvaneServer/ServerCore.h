#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "OrvaneServer/Hub.h"
#include "OrvaneServer/Server.h"
#include "OrvaneServer/SignInLimiter.h"

namespace orvane::server {

// A live connection the server can reach from any thread.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void postShutdown() = 0;
};

// A WebSocket the hub sends frames to.
class WsLink : public Connection {
 public:
  virtual void postFrame(std::shared_ptr<const std::string> frame) = 0;
  virtual void postClose(std::uint16_t code, std::string reason) = 0;
};

// Where a clustered hub's messages and presence go. Calls must not block:
// they come with the hub's lock held.
class ClusterPort {
 public:
  virtual ~ClusterPort() = default;
  virtual void publish(const std::string& instance, std::string message) = 0;
  virtual void announce(const std::string& presenceKey, std::string record) = 0;
  virtual void withdraw(const std::string& presenceKey, std::string record) = 0;
};

// What the sessions share: options, accounts, logs, the hub behind its lock,
// and the registry of live connections. Thread-safe.
class ServerCore {
 public:
  // `instance`: this one's name in a cluster; empty: alone.
  ServerCore(ServerOptions options, Auth& auth, const Clock& clock, LogSink& sink, std::string instance = {});

  const ServerOptions options;
  std::optional<std::filesystem::path> webRoot;  // canonical
  Auth& auth;
  const Logger wsLog;
  const Logger httpLog;

  // Live connections; a key of 0 means the server is full or stopping.
  std::uint64_t addConnection(std::weak_ptr<Connection> connection);
  void removeConnection(std::uint64_t key);
  void shutdownAll();
  // After the threads are gone: nothing may be posted to the io_context any more.
  void stopDelivery();
  bool waitUntilNoConnections(std::chrono::milliseconds limit);

  std::optional<SocketId> admit(const SessionIdentity& identity);
  void attach(SocketId id, std::weak_ptr<WsLink> link);
  void frame(SocketId id, std::string_view text);
  void control(SocketId id);
  void closed(SocketId id);
  void revokeUser(std::string_view userId);

  // The cluster's side: where the hub's cluster actions go (null: nowhere),
  // and what it learns from the other instances.
  void setClusterPort(ClusterPort* port);
  void remoteDevice(std::string_view presenceKey, const std::optional<DeviceRecord>& record);
  void remoteDevices(const std::vector<std::pair<std::string, DeviceRecord>>& records);
  void peerMessage(std::string_view text);
  void undelivered(std::string_view instance, std::string_view text);
  void instanceGone(std::string_view instance);
  void announceAll();
  std::vector<std::string> knownInstances();

  // Failed sign-ins per source address, as SignInLimiter counts them.
  std::optional<double> signInWait(std::string_view source);
  std::optional<std::uint64_t> signInFailed(std::string_view source);

 private:
  void dispatch(HubActions actions);  // with mutex_ held, so sends keep the hub's order

  std::mutex mutex_;
  std::condition_variable drained_;
  Hub hub_;
  ClusterPort* cluster_ = nullptr;
  std::unordered_map<SocketId, std::weak_ptr<WsLink>> links_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections_;
  std::uint64_t nextConnection_ = 1;
  bool stopping_ = false;
  bool delivering_ = true;

  std::mutex signInMutex_;  // apart from the hub's: refusing a flood does not hold up signalling
  SignInLimiter signIn_;
};

}  // namespace orvane::server
