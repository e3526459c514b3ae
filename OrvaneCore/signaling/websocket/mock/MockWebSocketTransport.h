#pragma once

#include <string>
#include <vector>

#include "OrvaneCore/signaling/websocket/WebSocketTransport.h"

namespace orvane {

// An in-memory transport for tests: records what was sent, and lets the test
// play the server (frames, closes, failing pings). Single-threaded: the test
// thread stands in for the transport's thread.
class MockWebSocketTransport : public WebSocketTransport {
 public:
  std::vector<std::string> sentTexts;
  std::optional<std::string> lastAuthorization;
  bool connected = false;
  bool closed = false;
  int pingCount = 0;
  bool pingShouldFail = false;
  int transientPingFailures = 0;

  void connect(const Url& url, std::string authorization) override;
  Task<void> send(std::string text) override;
  Task<void> sendPing() override;
  void close() override;

  void simulateText(const std::string& text);
  void simulateClose(std::optional<std::string> errorDescription = std::nullopt);
  void clearSent() { sentTexts.clear(); }
};

}  // namespace orvane
