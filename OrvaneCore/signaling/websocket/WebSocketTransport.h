#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane {

// Transport failures, named and numbered after the URL-loading errors the
// signalling peers were designed around.
class TransportError : public std::runtime_error {
 public:
  enum class Code { timedOut = -1001, networkConnectionLost = -1005, badServerResponse = -1011 };

  explicit TransportError(Code code);
  Code code() const { return code_; }

 private:
  Code code_;
};

// One WebSocket connection that moves whole text messages. Implementations
// call the callbacks on their own thread; set them before connect().
class WebSocketTransport {
 public:
  virtual ~WebSocketTransport() = default;

  std::function<void(std::string text)> onText;
  // The connection ended; the argument describes why.
  std::function<void(std::optional<std::string> errorDescription)> onClose;

  // Opens a connection, replacing any earlier one. Returns at once: success
  // or failure shows only through the callbacks.
  virtual void connect(const Url& url, std::string authorization) = 0;
  // Completes once the message is written; TransportError badServerResponse
  // without a connection.
  virtual Task<void> send(std::string text) = 0;
  // Completes once the pong arrives; TransportError networkConnectionLost
  // without a connection.
  virtual Task<void> sendPing() = 0;
  // Ends the connection with close code 1000; does nothing without one.
  virtual void close() = 0;
};

}  // namespace orvane
