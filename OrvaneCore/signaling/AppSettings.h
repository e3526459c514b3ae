#pragma once

#include <string_view>

#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/SignalingMessage.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane {

// The two persisted signalling settings. Holds no state of its own: every
// read goes to the store, and a change applies to the next session built.
class AppSettings {
 public:
  static constexpr std::string_view kSignalingBackendKey = "Orvane.signalingBackend";
  static constexpr std::string_view kForceRelayTCPKey = "Orvane.forceRelayTCP";
  // The built-in signalling server; the WebSocket backend and the auth client
  // append their own paths.
  static constexpr std::string_view serverURLString = "wss://signal.orvane.app";
  static Url signalingServerURL();

  explicit AppSettings(UserDefaults& defaults) : defaults_(defaults) {}

  // webSocket unless the store holds exactly "cloudKit".
  SignalingBackend signalingBackend() const;
  void setSignalingBackend(SignalingBackend backend);

  // False unless the store holds the boolean true.
  bool forceRelayTCP() const;
  void setForceRelayTCP(bool force);

 private:
  UserDefaults& defaults_;
};

}  // namespace orvane
