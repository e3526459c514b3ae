#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {
class Clock;
class LogSink;
}  // namespace orvane

namespace orvane::server {

// Bounds the network side should apply before handing input over; exchange()
// refuses larger input too.
inline constexpr std::size_t kMaxAuthRequestBytes = 64 * 1024;

// What a verified session token stands for.
struct SessionIdentity {
  std::string userId;
  std::string deviceId;
  std::string role;  // "mac" or "pad", as given at the exchange
  std::string deviceName;
};

// An HTTP answer with a JSON body (empty body = none).
struct HttpReply {
  unsigned status = 200;
  std::string body;
};

enum class IdentityMode {
  local,  // ES256 identity tokens signed by this server's own key (invites)
  apple,  // RS256 Sign in with Apple identity tokens checked against a JWKS file
};

struct AuthOptions {
  std::filesystem::path dataDir;  // the SQLite database (by default) and the local signing key live here
  IdentityMode mode = IdentityMode::local;
  std::string audience;            // apple: the expected "aud"
  std::filesystem::path jwksFile;  // apple: Apple's public keys
  // Not owned; must outlive the Auth. Null: the system clock / log.
  const Clock* clock = nullptr;
  LogSink* logSink = nullptr;
  // A postgresql:// URL: accounts live there, shared by every instance using
  // it. Empty: SQLite in dataDir.
  std::string database{};
};

// The server's accounts: identity-token verification, the session tokens it
// issues (stored only hashed), and account deletion. Calls are synchronous and
// may come from any thread.
class Auth {
 public:
  virtual ~Auth() = default;

  // POST /v1/auth/apple with its JSON body. This and deleteAccount() answer
  // 503 while the database is unreachable.
  virtual HttpReply exchange(std::string_view requestBody) = 0;
  // DELETE /v1/auth/apple; `authorization` is the raw header value.
  virtual HttpReply deleteAccount(std::string_view authorization) = 0;
  // Every WebSocket handshake: the bearer token's identity, if it is valid.
  // Throws when the accounts cannot be read: the token may well be valid.
  virtual std::optional<SessionIdentity> authenticate(std::string_view sessionToken) = 0;

  // Told after an account was deleted, so its open sockets can be closed.
  // Runs on the thread that called deleteAccount(), outside any lock; set it
  // before the first call (it is read without one).
  std::function<void(const std::string& userId)> onUserRevoked;
};

// Opens (creating on first use) the store and keys under options.dataDir.
// Throws std::runtime_error with a message fit for the user when it cannot.
std::unique_ptr<Auth> makeAuth(const AuthOptions& options);

struct InviteOptions {
  std::filesystem::path dataDir;
  std::string user;  // the account's name; every invite for it joins the same user
  std::chrono::seconds ttl{600};  // more than 0, at most kMaxInviteTtl
  const Clock* clock = nullptr;    // not owned; null: the system clock
};

inline constexpr std::chrono::seconds kMaxInviteTtl{24 * 3600};

// A one-time, short-lived identity token for `user`, signed with the local key
// (created if missing). Throws std::runtime_error when it cannot.
std::string makeInvite(const InviteOptions& options);

// The token of an "Authorization: Bearer <token>" value (scheme in any case),
// for the WebSocket handshake as for deleteAccount(); nothing when malformed.
std::optional<std::string_view> bearerToken(std::string_view authorization);

}  // namespace orvane::server
