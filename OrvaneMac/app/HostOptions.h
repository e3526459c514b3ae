#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/identity/Environment.h"
#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane::app {

// A one-time identity token as the user has it: the token itself, or the web
// pad's invite link "<server>/#invite=<token>", which also names the server.
struct Invite {
  std::string token;
  std::optional<Url> server;  // ws:// or wss://, from a link only
};

// Nothing for text that is neither a token nor an invite link. Whitespace
// around the text is ignored; a token is printable ASCII without spaces, at
// most 8 KiB, as the exchange would refuse anything else anyway.
std::optional<Invite> parseInvite(std::string_view text);

// http(s):// as the web pad shows it, or ws(s):// as the transport uses it;
// always ws(s):// with no path beyond what was given.
std::optional<Url> signalingURL(std::string_view text);

struct HostOptions {
  Url server;
  std::optional<std::string> identityToken;  // from --invite; the environment is read when signing in
  bool showPopover = false;
};

struct Help {};
struct Version {};
struct UsageError {
  std::string message;
};
using ParsedOptions = std::variant<HostOptions, Help, Version, UsageError>;

inline constexpr const char* kServerURLKey = "Orvane.signalingServerURL";

extern const char* const kUsage;

// The server: --server, else the invite link's, else the setting, else the
// built-in one.
ParsedOptions parseHostOptions(const std::vector<std::string>& args, const UserDefaults& defaults);

}  // namespace orvane::app
