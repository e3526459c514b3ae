#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/NotificationCenter.h"
#include "OrvaneCore/signaling/SignalingService.h"
#include "OrvaneCore/signaling/Url.h"
#include "OrvaneCore/signaling/websocket/WebSocketTransport.h"

namespace orvane {

struct BuiltSignaling {
  std::shared_ptr<SignalingServiceProtocol> service;  // configured, not started
  bool trickle = false;  // whether the SDP may go out before ICE gathering ends
};

class SignalingFactory {
 public:
  struct Options {
    // Trusted in addition to the system's certificates, for a self-hosted server.
    std::string extraCaFile;
    LogSink* logSink = nullptr;  // the system log when null
    // Builds the WebSocket transport; the Beast transport when empty.
    std::function<std::shared_ptr<WebSocketTransport>()> makeTransport;
    // Record store: where the records live, a file or a "postgresql://" URL (the container's default file when
    // empty) and where its pushes are posted (the service's own when null).
    std::optional<std::filesystem::path> recordStorePath;
    std::shared_ptr<NotificationCenter> notifications;
  };

  // Never starts the service: the caller wires its callbacks first.
  static BuiltSignaling make(SignalingBackend backend, SignalingRole role, std::string deviceId, std::string deviceName,
                             const Url& serverURL, std::optional<std::string> sessionToken, Executor& executor,
                             const Options& options);
  static BuiltSignaling make(SignalingBackend backend, SignalingRole role, std::string deviceId, std::string deviceName,
                             const Url& serverURL, std::optional<std::string> sessionToken, Executor& executor) {
    return make(backend, role, std::move(deviceId), std::move(deviceName), serverURL, std::move(sessionToken), executor,
                Options{});
  }
};

}  // namespace orvane
