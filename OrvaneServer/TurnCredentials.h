#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/signaling/SignalingMessage.h"

// Short-lived TURN credentials in the scheme coturn checks with
// `use-auth-secret`: username "<expiry unix seconds>:<user id>", password
// base64(HMAC-SHA1(secret, username)). The relay needs no account list, and a
// leaked password stops working by itself.
namespace orvane::server {

// What a device is handed: the servers and when their credentials end.
struct IssuedIceServers {
  std::vector<IceServerInfo> servers;
  std::int64_t issuedAt = 0;   // Unix seconds
  std::int64_t expiresAt = 0;  // Unix seconds

  bool operator==(const IssuedIceServers&) const = default;
};

// For a user at a time (Unix seconds); nothing when no relay is configured.
using IceServerIssuer = std::function<std::optional<IssuedIceServers>(const std::string& userId, std::int64_t now)>;

inline constexpr std::chrono::seconds kDefaultTurnTtl{12 * 3600};
inline constexpr std::chrono::seconds kMinTurnTtl{60};
inline constexpr std::chrono::seconds kMaxTurnTtl{7 * 24 * 3600};
// A secret is one line; anything longer is the wrong file.
inline constexpr std::size_t kMaxTurnSecretBytes = 4096;

std::string turnPassword(std::string_view secret, std::string_view username);
IceServerInfo turnCredentials(const std::vector<std::string>& urls, std::string_view secret, std::string_view userId,
                              std::int64_t expiresAt);

struct TurnConfig {
  std::vector<std::string> urls;
  std::string secret;
  std::chrono::seconds ttl = kDefaultTurnTtl;
};
IceServerIssuer makeTurnIssuer(TurnConfig config);

struct SecretFileError {
  std::string message;  // for the user, naming the file
};
// The secret file's first line without trailing white space. Refused when it
// is not a regular file, is readable or writable by others, empty or too long.
std::variant<std::string, SecretFileError> readTurnSecret(const std::filesystem::path& file);

}  // namespace orvane::server
