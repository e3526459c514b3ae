#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/SignalingService.h"
#include "OrvaneCore/signaling/Url.h"
#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneCore/signaling/websocket/WebSocketTransport.h"

namespace orvane {

// The default signalling backend: one long-lived WebSocket to the signalling
// server, with hello on every connect, readiness, host listing, keep-alive
// pings and reconnects with back-off.
//
// Frames and closes are handled on the transport's thread; reconnect,
// keep-alive and deferred sends run as tasks on `executor`, holding the
// service weakly. Three locks guard the state and are never held together,
// nor across a callback, a send or a sleep.
//
// Each "welcome" replaces the ICE servers kept for the next connection
// attempt; one without any (a server without relays) clears them. They
// survive a dropped connection: credentials outlive it.
class WebSocketSignalingService final : public SignalingServiceProtocol,
                                        public std::enable_shared_from_this<WebSocketSignalingService> {
  struct Private {};

 public:
  static inline const std::vector<double> kDefaultReconnectDelays{0.5, 1, 2, 4, 8};
  static constexpr double kDefaultReadyTimeoutSeconds = 8.0;
  static constexpr double kDefaultKeepAliveSeconds = 20.0;

  // The service wires the transport's callbacks to itself, holding itself
  // weakly, so it exists only behind a shared_ptr. Nothing is sent before
  // start(). Throws std::invalid_argument for an empty or negative
  // reconnect table or a negative ready time-out. `executor` and `logSink`
  // must outlive the service.
  static std::shared_ptr<WebSocketSignalingService> create(
      SignalingRole role, std::string deviceId, std::string deviceName, Url serverURL, std::string sessionToken,
      std::shared_ptr<WebSocketTransport> transport, Executor& executor, LogSink& logSink = systemLogSink(),
      std::vector<double> reconnectDelays = kDefaultReconnectDelays,
      double readyTimeoutSeconds = kDefaultReadyTimeoutSeconds, double keepAliveSeconds = kDefaultKeepAliveSeconds);

  WebSocketSignalingService(Private, SignalingRole role, std::string deviceId, std::string deviceName, Url serverURL,
                            std::string sessionToken, std::shared_ptr<WebSocketTransport> transport,
                            Executor& executor, LogSink& logSink, std::vector<double> reconnectDelays,
                            double readyTimeoutSeconds, double keepAliveSeconds);

  void start() override;
  void stop() override;

  Task<std::vector<HostInfo>> listHosts() override;
  Task<void> sendConnectionRequest(HostInfo host) override;
  Task<void> sendOffer(std::string sdp) override;
  Task<void> sendAnswer(std::string sdp) override;
  Task<void> sendICECandidate(ICECandidateInfo candidate) override;
  Task<void> clearSession() override;
  Task<void> resetForNextSession() override;
  std::optional<std::vector<IceServerInfo>> issuedIceServers() const override;

  SignalingRole role() const { return role_; }
  const std::string& deviceId() const { return deviceId_; }
  const std::string& deviceName() const { return deviceName_; }
  const Url& serverURL() const { return serverURL_; }
  const std::shared_ptr<WebSocketTransport>& transport() const { return transport_; }

 private:
  using HostsResolver = Resolver<std::vector<HostInfo>>;

  void connect();
  void handleText(const std::string& text);
  void handleClose();
  void scheduleReconnect();
  void startKeepAlive();
  void stopKeepAlive();
  bool isStopped();
  std::optional<HostsResolver> takePendingHosts();
  Task<void> send(WSEnvelope envelope);
  // Fire-and-forget send whose failure nobody needs to hear about.
  void sendDetached(WSEnvelope envelope);

  static Task<void> reconnectAfter(std::weak_ptr<WebSocketSignalingService> weak, double delay, long attempt,
                                   long attempts);
  static Task<void> keepAlive(std::weak_ptr<WebSocketSignalingService> weak, double interval);
  static Task<void> sendListHostsAfterReadyTimeout(std::weak_ptr<WebSocketSignalingService> weak, double timeout);

  const SignalingRole role_;
  const std::string deviceId_;
  const std::string deviceName_;
  const Url serverURL_;
  const std::string sessionToken_;  // never logged
  const std::shared_ptr<WebSocketTransport> transport_;
  Executor& executor_;
  const Logger log_;

  std::mutex pendingHostsLock_;
  std::optional<HostsResolver> pendingHosts_;  // the one listing waiting for a reply

  const std::vector<double> reconnectDelays_;
  const double readyTimeoutSeconds_;
  const double keepAliveSeconds_;

  mutable std::mutex iceServersLock_;
  std::optional<std::vector<IceServerInfo>> issuedIceServers_;

  std::mutex reconnectLock_;  // guards everything below
  long reconnectAttempt_ = 0;
  TaskHandle reconnectTask_;
  bool isStopped_ = false;
  bool ready_ = false;  // a known frame arrived on the current connection
  bool pendingListHostsSend_ = false;
  TaskHandle keepAliveTask_;
};

}  // namespace orvane
