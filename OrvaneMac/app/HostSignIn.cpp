#include "OrvaneMac/app/HostSignIn.h"

#include "OrvaneCore/identity/IdentityTokenSource.h"
#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneMac/app/HostOptions.h"

namespace orvane::app {

namespace {

// Parameters by value: the coroutine outlives the call that starts it.
Task<std::string> identityToken(std::optional<std::string> invite, EnvironmentLookup environment) {
  if (invite) co_return *invite;
  UserSuppliedIdentityToken source({}, std::move(environment));
  co_return co_await source.requestIdentityToken();
}

}  // namespace

HostSignIn::HostSignIn(Url server, std::optional<std::string> invite, EnvironmentLookup environment,
                       std::filesystem::path secrets)
    : server_(std::move(server)),
      invite_(std::move(invite)),
      environment_(std::move(environment)),
      secrets_(secrets.empty() ? defaultSecretsDirectory() : std::move(secrets)) {}

bool HostSignIn::tokenConfigured() const {
  return invite_ || environment_(UserSuppliedIdentityToken::kTokenVariable) ||
         environment_(UserSuppliedIdentityToken::kTokenFileVariable);
}

bool HostSignIn::sessionKept() const {
  KeychainSessionStore store(std::string(kSessionKeychainService), sessionKeychainAccount(server_), secrets_);
  return store.sessionToken().has_value();
}

AuthManager::IdentityTokenRequest HostSignIn::request() const {
  if (!tokenConfigured() && !sessionKept()) return nullptr;
  return [invite = invite_, environment = environment_] { return identityToken(invite, environment); };
}

bool HostSignIn::useInvite(std::string_view text) {
  std::optional<Invite> invite = parseInvite(text);
  if (!invite) return false;
  invite_ = std::move(invite->token);
  return true;
}

}  // namespace orvane::app
