#include "OrvaneMac/app/HostOptions.h"

#include <algorithm>

#include "OrvaneCore/signaling/AppSettings.h"

namespace orvane::app {

const char* const kUsage = R"(Usage: orvane-host [options]

Shares this X display with your tablet: the web pad or any Orvane tablet app
signed in as the same user sees the screen and controls it. A person at the
computer always wins: their own input pauses the tablet's.

Options:
  --server URL      the signalling server (http(s):// or ws(s)://); default the
                    setting "Orvane.signalingServerURL", else wss://signal.orvane.app
  --invite TOKEN    sign in with a one-time invite: the token, or the pad link
                    "<server>/#invite=<token>" (which also names the server)
  --show-popover    show the status window even where a tray exists
  --help            this text
  --version         the version

Without --invite the identity token comes from ORVANE_IDENTITY_TOKEN or the file
named by ORVANE_IDENTITY_TOKEN_FILE; once signed in, the session token is kept
under $XDG_CONFIG_HOME/orvane/secrets/ and no invite is needed again.
)";

namespace {

constexpr std::size_t kMaxTokenLength = 8192;
constexpr std::string_view kInviteMarker = "invite=";

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

bool plausibleToken(std::string_view token) {
  return !token.empty() && token.size() <= kMaxTokenLength &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace

std::optional<Url> signalingURL(std::string_view text) {
  std::optional<Url> url = Url::parse(trimmed(text));
  if (!url || url->host.empty()) return std::nullopt;
  if (url->scheme == "http") url->scheme = "ws";
  if (url->scheme == "https") url->scheme = "wss";
  if (url->scheme != "ws" && url->scheme != "wss") return std::nullopt;
  if (url->path == "/") url->path.clear();
  url->query.reset();
  url->fragment.reset();
  return url;
}

std::optional<Invite> parseInvite(std::string_view text) {
  text = trimmed(text);
  if (text.find("://") == std::string_view::npos) {
    if (!plausibleToken(text)) return std::nullopt;
    return Invite{std::string(text), std::nullopt};
  }
  const std::optional<Url> link = Url::parse(text);
  if (!link || !link->fragment || !link->fragment->starts_with(kInviteMarker)) return std::nullopt;
  std::string_view token = std::string_view(*link->fragment).substr(kInviteMarker.size());
  token = token.substr(0, token.find('&'));
  if (!plausibleToken(token)) return std::nullopt;
  std::optional<Url> server = signalingURL(text);
  if (!server) return std::nullopt;
  // The pad's page lives at the server's root; a link to a sub-page still
  // names the same server.
  server->path.clear();
  return Invite{std::string(token), std::move(server)};
}

ParsedOptions parseHostOptions(const std::vector<std::string>& args, const UserDefaults& defaults) {
  HostOptions options;
  std::optional<std::string> server;
  std::optional<Invite> invite;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const bool takesValue = name == "--server" || name == "--invite";
    if (!takesValue && value) return UsageError{name + " takes no value"};
    if (takesValue && !value) {
      if (i + 1 >= args.size()) return UsageError{name + " needs a value"};
      value = args[++i];
    }
    if (name == "-h" || name == "--help") return Help{};
    if (name == "--version") return Version{};
    if (name == "--show-popover") {
      options.showPopover = true;
    } else if (name == "--server") {
      if (server) return UsageError{"--server given twice"};
      server = *value;
    } else if (name == "--invite") {
      if (invite) return UsageError{"--invite given twice"};
      invite = parseInvite(*value);
      if (!invite) return UsageError{"--invite needs a token or a link with #invite=<token>"};
    } else {
      return UsageError{"unknown option " + name};
    }
  }

  if (server) {
    std::optional<Url> url = signalingURL(*server);
    if (!url) return UsageError{"--server must be an http(s):// or ws(s):// URL"};
    options.server = *url;
  } else if (invite && invite->server) {
    options.server = *invite->server;
  } else if (std::optional<Url> stored = signalingURL(defaults.string(kServerURLKey).value_or(""))) {
    options.server = *stored;
  } else {
    options.server = AppSettings::signalingServerURL();
  }
  if (invite) options.identityToken = invite->token;
  return options;
}

}  // namespace orvane::app
