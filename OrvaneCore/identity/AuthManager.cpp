#include "OrvaneCore/identity/AuthManager.h"

namespace orvane {

AuthManager::AuthManager(std::shared_ptr<AuthClient> authClient, std::shared_ptr<AppleSessionStore> store,
                         std::string deviceId, std::string role, std::string deviceName,
                         IdentityTokenRequest requestAppleIdentityToken)
    : authClient_(std::move(authClient)),
      store_(std::move(store)),
      deviceId_(std::move(deviceId)),
      role_(std::move(role)),
      deviceName_(std::move(deviceName)),
      requestAppleIdentityToken_(std::move(requestAppleIdentityToken)) {}

std::optional<std::string> AuthManager::storedToken() const {
  std::optional<std::string> token = store_->sessionToken();
  if (token && token->empty()) return std::nullopt;
  return token;
}

bool AuthManager::hasSession() const { return storedToken().has_value(); }

Task<std::string> AuthManager::validSessionToken() {
  if (auto token = storedToken()) co_return *token;
  co_return co_await signIn();
}

Task<std::string> AuthManager::signIn() {
  if (!requestAppleIdentityToken_) throw AppleSignInError::cancelledOrFailed("Sign in required");
  std::string identityToken = co_await requestAppleIdentityToken_();
  AppleAuthResult result = co_await authClient_->exchange(std::move(identityToken), deviceId_, role_, deviceName_);
  store_->setSessionToken(result.sessionToken);
  co_return result.sessionToken;
}

void AuthManager::signOut() { store_->setSessionToken(std::nullopt); }

Task<void> AuthManager::deleteAccount() {
  std::optional<std::string> token = storedToken();
  if (!token) token = co_await signIn();
  bool rejected = false;
  try {
    co_await authClient_->deleteAccount(*token);
  } catch (const AppleAuthError& error) {
    if (!error.isHttp(401)) throw;
    rejected = true;  // a coroutine cannot await inside its handler
  }
  if (rejected) {
    std::string fresh = co_await signIn();
    co_await authClient_->deleteAccount(std::move(fresh));
  }
  store_->setSessionToken(std::nullopt);
}

}  // namespace orvane
