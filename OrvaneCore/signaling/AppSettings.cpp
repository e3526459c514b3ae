#include "OrvaneCore/signaling/AppSettings.h"

#include <string>

namespace orvane {

Url AppSettings::signalingServerURL() {
  static const Url url = *Url::parse(serverURLString);  // a constant; checked by the tests
  return url;
}

SignalingBackend AppSettings::signalingBackend() const {
  auto raw = defaults_.string(std::string(kSignalingBackendKey));
  return raw == "cloudKit" ? SignalingBackend::cloudKit : SignalingBackend::webSocket;
}

void AppSettings::setSignalingBackend(SignalingBackend backend) {
  defaults_.set(std::string(kSignalingBackendKey), std::string(toString(backend)));
}

bool AppSettings::forceRelayTCP() const {
  return defaults_.boolean(std::string(kForceRelayTCPKey)).value_or(false);
}

void AppSettings::setForceRelayTCP(bool force) { defaults_.set(std::string(kForceRelayTCPKey), force); }

std::optional<std::string> AppSettings::recordStore() const {
  auto raw = defaults_.string(std::string(kRecordStoreKey));
  if (!raw || raw->empty()) return std::nullopt;
  return raw;
}

}  // namespace orvane
