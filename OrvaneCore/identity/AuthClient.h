#pragma once

#include <string>

#include "OrvaneCore/identity/AuthErrors.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane {

// The two calls of the auth endpoint, behind an interface so that the auth
// manager can be tested without a network.
class AuthClient {
 public:
  virtual ~AuthClient() = default;

  // Trades an identity token for a session token. Throws AppleAuthError when
  // the server answers otherwise than 200 with both fields, AuthTransportError
  // when there is no answer.
  virtual Task<AppleAuthResult> exchange(std::string appleIdentityToken, std::string deviceId, std::string role,
                                         std::string deviceName) = 0;

  // Deletes the account the session token belongs to; an account already gone
  // counts as deleted. Throws as exchange() does.
  virtual Task<void> deleteAccount(std::string sessionToken) = 0;
};

}  // namespace orvane
