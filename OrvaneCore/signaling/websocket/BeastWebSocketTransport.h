#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/signaling/websocket/WebSocketTransport.h"

namespace orvane {

// The production transport: ws:// and wss:// over Boost.Beast on an Asio
// io_context thread of its own, where onText and onClose run.
//
// Only the connection of the newest connect() reports: once connect() has
// returned, nothing from a replaced connection reaches the callbacks (the
// replaced one is closed quietly). Each connection reports onClose exactly
// once, including after close(). After the destructor, no callback runs.
// Do not destroy the transport from a thread that is waiting on one of its
// callbacks; destroying it from inside a callback is fine.
class BeastWebSocketTransport final : public WebSocketTransport {
 public:
  struct Options {
    // A PEM file of extra trusted certificates, e.g. a self-hosted server's.
    std::string extraCaFile;
    // Resolve, TCP, TLS and the upgrade together.
    Seconds handshakeTimeout{10.0};
    // From sendPing() to its pong.
    Seconds pongTimeout{10.0};
    // From close() until the socket is dropped without the peer's close frame.
    Seconds closeTimeout{10.0};
    // Largest incoming message; a bigger one ends the connection.
    std::size_t readLimit = 256 * 1024;
  };

  // Throws when the extra CA file cannot be loaded.
  BeastWebSocketTransport();
  explicit BeastWebSocketTransport(Options options);
  ~BeastWebSocketTransport() override;
  BeastWebSocketTransport(const BeastWebSocketTransport&) = delete;
  BeastWebSocketTransport& operator=(const BeastWebSocketTransport&) = delete;

  void connect(const Url& url, std::string authorization) override;
  Task<void> send(std::string text) override;
  Task<void> sendPing() override;
  void close() override;

  // Implementation details, declared here only so the source can name them.
  struct Core;
  class Connection;

 private:
  OneShot<bool> postToCurrent(TransportError::Code withoutConnection,
                              std::function<void(Connection&, Resolver<bool>)> work);

  std::shared_ptr<Core> core_;
  mutable std::mutex mutex_;             // guards the two below
  std::shared_ptr<Connection> current_;  // the newest connection
  bool open_ = false;                    // connect() called and close() not since
};

}  // namespace orvane
