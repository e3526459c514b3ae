#pragma once

#include <functional>
#include <memory>
#include <string>

#include "OrvaneCore/identity/AuthClient.h"
#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane {

// Decides when the stored session token is enough and when to sign in again.
// Calls run on the caller's task; two overlapping signIn() calls are not
// coordinated and the later store wins.
class AuthManager {
 public:
  // Obtains a fresh identity token (the host: its identity-token source).
  using IdentityTokenRequest = std::function<Task<std::string>()>;

  AuthManager(std::shared_ptr<AuthClient> authClient, std::shared_ptr<AppleSessionStore> store, std::string deviceId,
              std::string role, std::string deviceName, IdentityTokenRequest requestAppleIdentityToken);

  // A usable token is stored. An empty one is not: it could never
  // authenticate, and would keep the stored-token path from signing in.
  bool hasSession() const;
  // The stored token without contacting anything, else signIn(). A stored
  // token is never validated here.
  Task<std::string> validSessionToken();
  // Always signs in anew and stores the result; on failure nothing is stored
  // and the error propagates unchanged.
  Task<std::string> signIn();
  // Forgets the stored token; no server call.
  void signOut();
  // Deletes the account and forgets the token. A 401 (token rejected) leads to
  // one new sign-in and one last retry; any other failure keeps the store.
  Task<void> deleteAccount();

 private:
  std::optional<std::string> storedToken() const;

  std::shared_ptr<AuthClient> authClient_;
  std::shared_ptr<AppleSessionStore> store_;
  std::string deviceId_;
  std::string role_;
  std::string deviceName_;
  IdentityTokenRequest requestAppleIdentityToken_;
};

}  // namespace orvane
