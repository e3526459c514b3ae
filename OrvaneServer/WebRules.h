#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The HTTP-side rules that need no socket: where a WebSocket's token comes
// from, which subprotocol to answer with, and which file a URL may name.
namespace orvane::server {

inline constexpr std::string_view kSubprotocol = "orvane.v1";
inline constexpr std::string_view kBearerSubprotocolPrefix = "bearer.";

struct WsCredentials {
  std::optional<std::string> token;
  std::string subprotocol;  // to select in the handshake answer; empty: none
};

// The session token from "Authorization: Bearer <token>", else from a
// "bearer.<token>" subprotocol (browsers cannot set headers). Browsers need
// one offered subprotocol selected: "orvane.v1" when offered, so the token is
// not echoed back, else the bearer entry itself.
WsCredentials readWsCredentials(std::string_view authorization, std::string_view offeredSubprotocols);

// The target without query or fragment.
std::string_view targetPath(std::string_view target);

// The regular file under `canonicalRoot` a request target names ("/" and
// directories mean their index.html), or nothing. Refuses what could leave the
// root or reveal hidden files: "..", ".", dot-files, NUL and backslashes
// (also percent-encoded), and symbolic links leading outside.
std::optional<std::filesystem::path> resolveStaticFile(const std::filesystem::path& canonicalRoot,
                                                       std::string_view target);

std::string_view contentType(const std::filesystem::path& file);

}  // namespace orvane::server
