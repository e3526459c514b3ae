#include "OrvaneServer/Cli.h"

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneServer/cluster/RedisLink.h"

#include <boost/asio/ip/address.hpp>
#include <charconv>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

namespace orvane::server::cli {

namespace {

constexpr const char* kMainHelp = R"(Usage: orvane-signal <command> [options]

The Orvane signalling server: WebSocket signalling on /v1/ws, accounts on
/v1/auth/apple and the web pad's files, all on one port.

Commands:
  serve     run the server
  invite    print a one-time invite for a user: the token, then the web-pad URL

Run "orvane-signal <command> --help" for the options of a command.
)";

constexpr const char* kServeHelp = R"(Usage: orvane-signal serve [options]

  --bind ADDR       IP address to listen on (default 127.0.0.1)
  --port N          port (default 8080; 0 picks a free one)
  --data-dir DIR    accounts database and keys (default $XDG_DATA_HOME/orvane-signal,
                    else ~/.local/share/orvane-signal)
  --database URL    keep accounts in PostgreSQL (postgresql://user@host/db),
                    shared by every server given the same URL; passwords
                    belong in ~/.pgpass or PGPASSWORD, not in the URL.
                    Default: SQLite in the data directory
  --cluster URL     run as one of several instances meeting in Redis
                    (redis://HOST[:PORT][/DB]); needs --database, and every
                    instance needs the same signing-key.pem in its data
                    directory (copy the first one's) for invites to work on all
  --auth MODE       local: invites signed by this server (default);
                    apple: Sign in with Apple tokens
  --audience A      with --auth apple: the expected audience
  --jwks FILE       with --auth apple: Apple's public keys (JWKS)
  --tls-cert FILE   PEM certificate chain; with --tls-key, serve HTTPS and WSS
  --tls-key FILE    PEM private key
  --web-root DIR    serve the web pad's files from DIR (default: the web pad
                    of the source tree this program was built from)
  --turn URL        a TURN relay (turn: or turns: URL) handed to every signed-in
                    device with short-lived credentials; repeatable
  --turn-secret FILE  the relay's shared secret (coturn's static-auth-secret),
                    first line of FILE, which others must not be able to read
  --turn-ttl SECONDS  how long handed-out credentials last (default 43200);
                    devices get fresh ones after half of it
  -h, --help        show this help

The first line printed is "listening on <URL>". SIGINT or SIGTERM stops it.
)";

constexpr const char* kInviteHelp = R"(Usage: orvane-signal invite --user NAME [options]

Prints a one-time identity token for NAME on the first line and the web-pad
URL that signs in with it on the second.

  --user NAME       the account; every invite for NAME joins the same account
  --data-dir DIR    as for serve (default $XDG_DATA_HOME/orvane-signal,
                    else ~/.local/share/orvane-signal)
  --ttl SECONDS     how long the invite stays valid (default 600, at most 86400)
  -h, --help        show this help
)";

template <typename T>
std::optional<T> parseNumber(const std::string& text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// --name VALUE and --name=VALUE, each option at most once unless `repeatable`
// collects it, only known ones.
std::variant<std::map<std::string, std::string>, UsageError> readOptions(
    const std::vector<std::string>& args, const std::set<std::string>& known,
    std::map<std::string, std::vector<std::string>>* repeatable = nullptr) {
  std::map<std::string, std::string> values;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (!known.contains(name)) return UsageError{"unknown option for " + args[0] + ": " + name};
    if (!value) {
      if (i + 1 >= args.size()) return UsageError{name + " needs a value"};
      value = args[++i];
    }
    if (value->empty()) return UsageError{name + " needs a value"};
    if (repeatable != nullptr && repeatable->contains(name)) {
      (*repeatable)[name].push_back(*value);
      continue;
    }
    if (!values.emplace(name, *value).second) return UsageError{name + " given twice"};
  }
  return values;
}

bool wantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

std::optional<UsageError> readTurn(std::map<std::string, std::string>& o, const std::vector<std::string>& urls,
                                   ServeArgs& out) {
  if (urls.empty() != !o.contains("--turn-secret")) return UsageError{"--turn and --turn-secret go together"};
  if (urls.empty() && o.contains("--turn-ttl")) return UsageError{"--turn-ttl goes with --turn"};
  for (const std::string& url : urls) {
    const bool scheme = (url.starts_with("turn:") && url.size() > 5) || (url.starts_with("turns:") && url.size() > 6);
    if (!scheme || url.size() > kMaxIceFieldBytes || url.find_first_of(" \t\r\n\"") != std::string::npos) {
      return UsageError{"--turn must be a turn: or turns: URL, not " + url};
    }
  }
  if (urls.size() > kMaxIssuedIceUrls) return UsageError{"too many --turn URLs"};
  out.turnUrls = urls;
  if (o.contains("--turn-secret")) out.turnSecret = o["--turn-secret"];
  if (o.contains("--turn-ttl")) {
    auto ttl = parseNumber<long long>(o["--turn-ttl"]);
    if (!ttl || *ttl < kMinTurnTtl.count() || *ttl > kMaxTurnTtl.count()) {
      return UsageError{"--turn-ttl must be a number of seconds from " + std::to_string(kMinTurnTtl.count()) + " to " +
                        std::to_string(kMaxTurnTtl.count())};
    }
    out.turnTtl = std::chrono::seconds(*ttl);
  }
  return std::nullopt;
}

Command parseServe(const std::vector<std::string>& args, const Environment& env) {
  std::map<std::string, std::vector<std::string>> many{{"--turn", {}}};
  auto read = readOptions(args,
                          {"--bind", "--port", "--data-dir", "--database", "--cluster", "--auth", "--audience", "--jwks",
                           "--tls-cert", "--tls-key", "--web-root", "--turn", "--turn-secret", "--turn-ttl"},
                          &many);
  if (auto* error = std::get_if<UsageError>(&read)) return *error;
  auto& o = std::get<0>(read);
  ServeArgs out;
  if (auto error = readTurn(o, many["--turn"], out)) return *error;
  if (o.contains("--bind")) {
    out.bind = o["--bind"];
    boost::system::error_code ec;
    if (out.bind != "localhost") boost::asio::ip::make_address(out.bind, ec);
    if (ec) return UsageError{"--bind must be an IP address"};
  }
  if (o.contains("--port")) {
    auto port = parseNumber<std::uint16_t>(o["--port"]);
    if (!port) return UsageError{"--port must be a number from 0 to 65535"};
    out.port = *port;
  }
  if (o.contains("--database")) {
    out.database = o["--database"];
    if (!out.database.starts_with("postgresql://") && !out.database.starts_with("postgres://")) {
      return UsageError{"--database must be a postgresql:// URL"};
    }
  }
  if (o.contains("--cluster")) {
    out.cluster = o["--cluster"];
    if (!cluster::parseRedisUrl(out.cluster)) return UsageError{"--cluster must be a redis://HOST[:PORT][/DB] URL"};
    if (out.database.empty()) return UsageError{"--cluster needs --database: every instance must share the accounts"};
  }
  if (o.contains("--auth")) {
    if (o["--auth"] == "apple") {
      out.auth = IdentityMode::apple;
    } else if (o["--auth"] != "local") {
      return UsageError{"--auth must be local or apple"};
    }
  }
  if (out.auth == IdentityMode::apple) {
    if (!o.contains("--audience") || !o.contains("--jwks"))
      return UsageError{"--auth apple needs --audience and --jwks"};
    out.audience = o["--audience"];
    out.jwks = o["--jwks"];
  } else if (o.contains("--audience") || o.contains("--jwks")) {
    return UsageError{"--audience and --jwks go with --auth apple"};
  }
  if (o.contains("--tls-cert") != o.contains("--tls-key")) return UsageError{"--tls-cert and --tls-key go together"};
  if (o.contains("--tls-cert")) {
    out.tlsCert = o["--tls-cert"];
    out.tlsKey = o["--tls-key"];
  }
  if (o.contains("--web-root")) out.webRoot = o["--web-root"];
  if (o.contains("--data-dir")) {
    out.dataDir = o["--data-dir"];
  } else if (auto dir = defaultDataDir(env)) {
    out.dataDir = *dir;
  } else {
    return UsageError{"no data directory: set HOME or XDG_DATA_HOME, or pass --data-dir"};
  }
  return out;
}

Command parseInvite(const std::vector<std::string>& args, const Environment& env) {
  auto read = readOptions(args, {"--user", "--data-dir", "--ttl"});
  if (auto* error = std::get_if<UsageError>(&read)) return *error;
  auto& o = std::get<0>(read);
  InviteArgs out;
  if (!o.contains("--user")) return UsageError{"invite needs --user NAME"};
  out.user = o["--user"];
  if (o.contains("--ttl")) {
    auto ttl = parseNumber<long long>(o["--ttl"]);
    if (!ttl || *ttl < 1 || *ttl > kMaxInviteTtl.count()) {
      return UsageError{"--ttl must be a number of seconds from 1 to " + std::to_string(kMaxInviteTtl.count())};
    }
    out.ttl = std::chrono::seconds(*ttl);
  }
  if (o.contains("--data-dir")) {
    out.dataDir = o["--data-dir"];
  } else if (auto dir = defaultDataDir(env)) {
    out.dataDir = *dir;
  } else {
    return UsageError{"no data directory: set HOME or XDG_DATA_HOME, or pass --data-dir"};
  }
  return out;
}

}  // namespace

Command parse(const std::vector<std::string>& args, const Environment& env) {
  if (args.empty()) return Help{kMainHelp, true};
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") return Help{kMainHelp};
  if (command == "serve") return wantsHelp(args) ? Command(Help{kServeHelp}) : parseServe(args, env);
  if (command == "invite") return wantsHelp(args) ? Command(Help{kInviteHelp}) : parseInvite(args, env);
  return UsageError{"unknown command: " + command};
}

std::optional<std::filesystem::path> defaultDataDir(const Environment& env) {
  // The XDG rules ignore a relative XDG_DATA_HOME.
  if (env.xdgDataHome && !env.xdgDataHome->empty() && env.xdgDataHome->front() == '/') {
    return std::filesystem::path(*env.xdgDataHome) / "orvane-signal";
  }
  if (env.home && !env.home->empty()) return std::filesystem::path(*env.home) / ".local/share/orvane-signal";
  return std::nullopt;
}

void recordServerUrl(const std::filesystem::path& dataDir, const std::string& url) {
  // Written aside and renamed, so `invite` never reads half a URL.
  std::filesystem::path file = dataDir / kServerUrlFile;
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << url << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
  }
  std::filesystem::rename(temporary, file);
}

std::string recordedServerUrl(const std::filesystem::path& dataDir) {
  std::ifstream in(dataDir / kServerUrlFile);
  std::string url;
  if (!std::getline(in, url)) return kFallbackServerUrl;
  while (!url.empty() && (url.back() == '/' || url.back() == '\r' || url.back() == ' ')) url.pop_back();
  if (!url.starts_with("http://") && !url.starts_with("https://")) return kFallbackServerUrl;
  return url;
}

}  // namespace orvane::server::cli
