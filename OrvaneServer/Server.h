#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/Hub.h"
#include "OrvaneServer/Limits.h"
#include "OrvaneServer/SignInLimiter.h"
#include "OrvaneServer/auth/Auth.h"

namespace boost::asio::ssl {
class context;
}

namespace orvane::server {

struct ServerTimeouts {
  std::chrono::milliseconds request = limits::kRequestTimeout;
  std::chrono::milliseconds handshake = limits::kHandshakeTimeout;
  std::chrono::milliseconds idle = limits::kIdleTimeout;
};

struct ServerOptions {
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 8080;                       // 0: any free port
  std::shared_ptr<boost::asio::ssl::context> tls;  // TLS on every connection when set
  std::optional<std::filesystem::path> webRoot;
  unsigned threads = 2;
  ServerTimeouts timeouts;
  HubLimits hubLimits;
  IceServerIssuer iceServerIssuer;  // relay credentials in each "welcome"; none when empty
  std::string clusterUrl;           // redis://HOST:PORT[/DB]: one instance of a cluster meeting there; empty: alone
  // How often an instance refreshes its presence, and when an instance that
  // stopped refreshing counts as gone (its hosts leave the lists by lapse + refresh).
  std::chrono::milliseconds clusterRefresh{2000};
  std::chrono::milliseconds clusterLapse{6000};
  SignInLimits signInLimits;
  std::size_t maxQueuedBytes = limits::kMaxQueuedBytes;
  std::size_t maxConnections = limits::kMaxConnections;
};

// orvane-signal's network side on one port: the WebSocket signalling endpoint
// "/v1/ws", the account endpoint "/v1/auth/apple" and static files. It sets
// auth.onUserRevoked for its lifetime: a deleted account's sockets close.
class Server {
 public:
  Server(ServerOptions options, Auth& auth, const Clock& clock, LogSink& sink = systemLogSink());
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts the threads. Throws std::runtime_error with a
  // message for the user when it cannot.
  void start();
  std::uint16_t port() const;
  // The bound address as a base URL: "http://127.0.0.1:8080", "https://[::1]:443".
  std::string url() const;
  // Stops accepting, closes every connection (cut after a short grace) and
  // joins the threads. Idempotent.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::server
