#pragma once

// A blocking WebSocket client for the server's tests: every step has a deadline,
// so a faulty server fails a test instead of hanging it. Beast stays in
// WsClient.cpp, compiled once: its templates are most of a test's compile time.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane::server::wstest {

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The handshake's HTTP status: 101 when the socket is open.
  unsigned connect(std::uint16_t port, const std::string& authorization, const std::string& protocols = "",
                   const char* from = "127.0.0.1");
  // A header of the handshake's response; empty when absent.
  std::string header(std::string_view name) const;
  bool send(const std::string& text);
  bool ping();
  // Bytes straight onto the socket, past the WebSocket framing.
  void sendRaw(const std::string& bytes);
  // The next frame; type "closed" once the socket has closed.
  WSEnvelope next();
  // Reads until the socket closes; the close code the server gave.
  std::uint16_t closeCode();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

inline std::string hello(const std::string& role, const std::string& device) {
  return R"({"type":"hello","role":")" + role + R"(","deviceId":")" + device + R"(","deviceName":"N"})";
}
inline const std::string kListHosts = R"({"type":"listHosts"})";

}  // namespace orvane::server::wstest
