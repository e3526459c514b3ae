#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/SignalingMessage.h"

namespace orvane {

// What every signalling backend offers the peer-connection manager and the
// session coordinator. Arguments are taken by value: the operations are
// coroutines and must not keep references to the caller's temporaries.
class SignalingServiceProtocol {
 public:
  virtual ~SignalingServiceProtocol() = default;

  // Begin operating (connect and say hello, or start polling).
  virtual void start() = 0;
  // Stop all background work and close the transport.
  virtual void stop() = 0;

  // Pad: discover hosts. Never fails; an empty list means none found.
  virtual Task<std::vector<HostInfo>> listHosts() = 0;
  // Pad: ask the given host for a session.
  virtual Task<void> sendConnectionRequest(HostInfo host) = 0;
  virtual Task<void> sendOffer(std::string sdp) = 0;
  virtual Task<void> sendAnswer(std::string sdp) = 0;
  virtual Task<void> sendICECandidate(ICECandidateInfo candidate) = 0;
  // Host, once before start(): any earlier session is over.
  virtual Task<void> clearSession() = 0;
  // Host, whenever an attempt ends; swallows its own errors.
  virtual Task<void> resetForNextSession() = 0;

  // The ICE servers the signalling server issued most recently, when it
  // issues any; any thread.
  virtual std::optional<std::vector<IceServerInfo>> issuedIceServers() const { return std::nullopt; }

  // Fired from the backend's own threads or tasks; receivers hop to the
  // context they need. Set them before start().
  std::function<void(const SignalingMessage&)> onMessage;
  std::function<void()> onConnectionRequested;
  std::function<void()> onPeerGone;
  std::function<void(const std::string& code, const std::string& message)> onError;
};

}  // namespace orvane
