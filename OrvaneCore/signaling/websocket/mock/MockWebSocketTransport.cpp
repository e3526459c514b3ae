#include "OrvaneCore/signaling/websocket/mock/MockWebSocketTransport.h"

namespace orvane {

void MockWebSocketTransport::connect(const Url&, std::string authorization) {
  connected = true;
  lastAuthorization = std::move(authorization);
}

Task<void> MockWebSocketTransport::send(std::string text) {
  sentTexts.push_back(std::move(text));
  co_return;
}

Task<void> MockWebSocketTransport::sendPing() {
  ++pingCount;
  if (transientPingFailures > 0) {
    --transientPingFailures;
    throw TransportError(TransportError::Code::networkConnectionLost);
  }
  if (pingShouldFail) throw TransportError(TransportError::Code::networkConnectionLost);
  co_return;
}

void MockWebSocketTransport::close() { closed = true; }

void MockWebSocketTransport::simulateText(const std::string& text) {
  if (onText) onText(text);
}

void MockWebSocketTransport::simulateClose(std::optional<std::string> errorDescription) {
  if (onClose) onClose(std::move(errorDescription));
}

}  // namespace orvane
