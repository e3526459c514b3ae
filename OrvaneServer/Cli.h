#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvaneServer/TurnCredentials.h"
#include "OrvaneServer/auth/Auth.h"

// orvane-signal's command line, parsed without side effects.
namespace orvane::server::cli {

struct ServeArgs {
  std::string bind = "127.0.0.1";
  std::uint16_t port = 8080;
  std::filesystem::path dataDir;
  std::string database;  // a postgresql:// URL; empty: SQLite in dataDir
  std::string cluster;   // a redis:// URL: one instance of a cluster; empty: alone
  IdentityMode auth = IdentityMode::local;
  std::string audience;
  std::filesystem::path jwks;
  std::filesystem::path tlsCert;
  std::filesystem::path tlsKey;
  std::optional<std::filesystem::path> webRoot;
  std::vector<std::string> turnUrls;  // with turnSecret: relay credentials for every device
  std::filesystem::path turnSecret;
  std::chrono::seconds turnTtl = kDefaultTurnTtl;
};

struct InviteArgs {
  std::string user;
  std::filesystem::path dataDir;
  std::chrono::seconds ttl{600};
};

// Text to print; on standard error with status 2 when it answers a bare call.
struct Help {
  std::string text;
  bool isError = false;
};

struct UsageError {
  std::string message;
};

using Command = std::variant<Help, ServeArgs, InviteArgs, UsageError>;

struct Environment {
  std::optional<std::string> xdgDataHome;
  std::optional<std::string> home;
};

// `args` without the program name.
Command parse(const std::vector<std::string>& args, const Environment& env);

// $XDG_DATA_HOME/orvane-signal (when absolute), else ~/.local/share/orvane-signal.
std::optional<std::filesystem::path> defaultDataDir(const Environment& env);

// The base URL `serve` leaves in the data directory for `invite`.
inline constexpr const char* kServerUrlFile = "server-url";
inline constexpr const char* kFallbackServerUrl = "http://127.0.0.1:8080";
void recordServerUrl(const std::filesystem::path& dataDir, const std::string& url);
std::string recordedServerUrl(const std::filesystem::path& dataDir);

}  // namespace orvane::server::cli
