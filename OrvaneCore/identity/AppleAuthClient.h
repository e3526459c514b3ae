#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "OrvaneCore/identity/AuthClient.h"
#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane {

// The auth server's base URL derived from the signalling server URL: "ws"
// becomes "http", "wss" becomes "https", other schemes stay; the path is
// emptied, query and fragment are kept.
Url authBaseURL(const Url& signalingServerURL);

struct AppleAuthClientOptions {
  // Covers the whole call: resolving, connecting, TLS, request and response.
  Seconds timeout{60};
  // A PEM file trusted in addition to the system's store (a self-hosted
  // server's own certificate).
  std::string extraCaFile;
  // Larger answers are refused as malformed: real ones are a few hundred bytes.
  std::size_t maxResponseBytes = 64 * 1024;
};

// HTTP/1.1 client of "/v1/auth/apple" over http or https. The network work
// runs on an I/O thread the client owns; results come back to the awaiting
// task on `executor`, whose clock also drives the time-out. Keeps no state
// between calls. Destroying the client fails every call still in flight with
// AuthTransportError(cancelled).
class AppleAuthClient final : public AuthClient {
 public:
  AppleAuthClient(Url baseURL, Executor& executor, AppleAuthClientOptions options = {});
  ~AppleAuthClient() override;
  AppleAuthClient(const AppleAuthClient&) = delete;
  AppleAuthClient& operator=(const AppleAuthClient&) = delete;

  const Url& baseURL() const { return baseURL_; }

  Task<AppleAuthResult> exchange(std::string appleIdentityToken, std::string deviceId, std::string role,
                                 std::string deviceName) override;
  Task<void> deleteAccount(std::string sessionToken) override;

  class Engine;  // the I/O thread and its calls

 private:
  Url baseURL_;
  Executor& executor_;
  AppleAuthClientOptions options_;
  std::shared_ptr<Engine> engine_;
};

}  // namespace orvane
