#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/SignalingMessage.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane {

// The persisted signalling settings. Holds no state of its own: every
// read goes to the store, and a change applies to the next session built.
class AppSettings {
 public:
  static constexpr std::string_view kSignalingBackendKey = "Orvane.signalingBackend";
  static constexpr std::string_view kForceRelayTCPKey = "Orvane.forceRelayTCP";
  static constexpr std::string_view kRecordStoreKey = "Orvane.recordStore";
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

  // Where the record-store backend keeps its records (a file, or a
  // "postgresql://" URL); none unless the store holds a non-empty string.
  std::optional<std::string> recordStore() const;

 private:
  UserDefaults& defaults_;
};

}  // namespace orvane
