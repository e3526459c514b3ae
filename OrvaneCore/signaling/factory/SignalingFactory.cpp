#include "OrvaneCore/signaling/factory/SignalingFactory.h"

#include <stdexcept>

#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"
#include "OrvaneCore/signaling/websocket/BeastWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"

namespace orvane {

BuiltSignaling SignalingFactory::make(SignalingBackend backend, SignalingRole role, std::string deviceId,
                                      std::string deviceName, const Url& serverURL,
                                      std::optional<std::string> sessionToken, Executor& executor,
                                      const Options& options) {
  switch (backend) {
    case SignalingBackend::webSocket: {
      std::shared_ptr<WebSocketTransport> transport;
      if (options.makeTransport) {
        transport = options.makeTransport();
      } else {
        BeastWebSocketTransport::Options transportOptions;
        transportOptions.extraCaFile = options.extraCaFile;
        transport = std::make_shared<BeastWebSocketTransport>(std::move(transportOptions));
      }
      auto service = WebSocketSignalingService::create(
          role, std::move(deviceId), std::move(deviceName), serverURL, sessionToken.value_or(""), std::move(transport),
          executor, options.logSink ? *options.logSink : systemLogSink(), WebSocketSignalingService::kDefaultReconnectDelays,
          WebSocketSignalingService::kDefaultReadyTimeoutSeconds, WebSocketSignalingService::kDefaultKeepAliveSeconds);
      return BuiltSignaling{std::move(service), true};
    }
    case SignalingBackend::cloudKit: {
      CloudKitSignalingOptions cloudKit;
      cloudKit.databasePath = options.recordStorePath;
      cloudKit.notifications = options.notifications;
      cloudKit.sink = options.logSink;
      // Records carry one whole SDP each: the offer waits for ICE gathering.
      return BuiltSignaling{makeCloudKitSignaling(role, std::move(deviceId), std::move(deviceName), executor, cloudKit),
                            false};
    }
  }
  throw std::logic_error("unknown signalling backend");
}

}  // namespace orvane
