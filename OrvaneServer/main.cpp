// orvane-signal: the signalling and accounts server, and its invite tool.

#include <ifaddrs.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/resource.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "OrvaneCore/net/Tls.h"
#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/Cli.h"
#include "OrvaneServer/Server.h"

namespace {

using namespace orvane;
using namespace orvane::server;

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

int usageError(const std::string& message) {
  std::cerr << "orvane-signal: " << message << "\nTry \"orvane-signal --help\".\n";
  return 2;
}

int failure(const std::string& message) {
  std::cerr << "orvane-signal: " << message << '\n';
  return 1;
}

// Every socket is a descriptor; the soft limit is often a mere 1024.
std::size_t raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? limits::kMaxConnections : static_cast<std::size_t>(limit.rlim_cur);
}

// A wildcard address means nothing to a tablet: name the first address of
// an interface that is up and not loopback instead.
std::string advertisedUrl(const std::string& url, const boost::asio::ip::address& bound) {
  if (!bound.is_unspecified()) return url;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return url;
  std::string host;
  for (ifaddrs* i = list; i != nullptr && host.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    if (i->ifa_addr->sa_family != AF_INET && !(bound.is_v6() && i->ifa_addr->sa_family == AF_INET6)) continue;
    char text[NI_MAXHOST];
    socklen_t size = i->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(i->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    std::string address = text;
    if (address.find('%') != std::string::npos) continue;  // link-local, useless in a URL
    host = i->ifa_addr->sa_family == AF_INET6 ? "[" + address + "]" : address;
  }
  freeifaddrs(list);
  if (host.empty()) return url;
  std::size_t hostStart = url.find("://") + 3;
  std::size_t portColon = url.rfind(':');
  return url.substr(0, hostStart) + host + url.substr(portColon);
}

int serve(const cli::ServeArgs& args) {
  const Logger log("com.kelbrin.Orvane.Server", "main");
  std::error_code ec;
  if (args.webRoot && !std::filesystem::is_directory(*args.webRoot, ec)) {
    return usageError("--web-root " + args.webRoot->string() + " is not a directory");
  }
  std::optional<std::filesystem::path> webRoot = args.webRoot;
  // Without --web-root: the web pad of the tree this program was built from, while it is there.
  if (!webRoot && std::filesystem::is_directory(ORVANE_WEB_PAD_DIR, ec)) webRoot = ORVANE_WEB_PAD_DIR;
  const std::size_t fileLimit = raiseFileLimit();

  if (std::filesystem::create_directories(args.dataDir, ec)) {
    std::filesystem::permissions(args.dataDir, std::filesystem::perms::owner_all, ec);
  }
  if (ec) return failure("cannot create " + args.dataDir.string() + ": " + ec.message());

  ServerOptions options;
  options.bindAddress = args.bind;
  options.port = args.port;
  options.webRoot = webRoot;
  options.clusterUrl = args.cluster;
  // Keep descriptors in reserve for the database, files and logs.
  options.maxConnections = std::min(limits::kMaxConnections, fileLimit > 128 ? fileLimit - 64 : std::size_t{64});
  if (!args.tlsCert.empty()) {
    try {
      options.tls = std::make_shared<boost::asio::ssl::context>(
          net::makeServerTlsContext(args.tlsCert.string(), args.tlsKey.string()));
    } catch (const std::exception& e) {
      return failure("cannot load the TLS certificate or key: " + std::string(e.what()));
    }
  }

  if (!args.turnUrls.empty()) {
    auto secret = readTurnSecret(args.turnSecret);
    if (auto* error = std::get_if<SecretFileError>(&secret)) return failure(error->message);
    options.iceServerIssuer =
        makeTurnIssuer(TurnConfig{args.turnUrls, std::get<std::string>(std::move(secret)), args.turnTtl});
  }

  std::unique_ptr<Auth> auth;
  try {
    AuthOptions authOptions{args.dataDir, args.auth, args.audience, args.jwks};
    authOptions.database = args.database;
    auth = makeAuth(authOptions);
  } catch (const std::exception& e) {
    return failure(e.what());
  }

  // Signals are taken by sigwait below, never by an io thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SystemClock clock;
  std::optional<Server> server;
  try {
    server.emplace(std::move(options), *auth, clock);
    server->start();
  } catch (const std::exception& e) {
    return failure(e.what());
  }
  auto bound = boost::asio::ip::make_address(args.bind == "localhost" ? "127.0.0.1" : args.bind);
  try {
    cli::recordServerUrl(args.dataDir, advertisedUrl(server->url(), bound));
  } catch (const std::exception& e) {
    log.error("cannot record the server URL for invites: %{public}s", e.what());
  }
  // Printed once the URL is recorded: a script may run `invite` right after this line.
  Console().print("listening on " + server->url());
  if (args.tlsCert.empty() && !bound.is_loopback()) {
    log.notice(
        "serving plain HTTP on %{public}s: session tokens cross the network unencrypted; "
        "use --tls-cert and --tls-key",
        args.bind);
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);
  log.info("stopping (%{public}s)", signal == SIGINT ? "SIGINT" : "SIGTERM");
  server->stop();
  return 0;
}

int invite(const cli::InviteArgs& args) {
  std::string token;
  try {
    token = makeInvite(InviteOptions{args.dataDir, args.user, args.ttl});
  } catch (const std::exception& e) {
    return failure(e.what());
  }
  std::cout << token << '\n' << cli::recordedServerUrl(args.dataDir) << "/#invite=" << token << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Command command =
      cli::parse(std::vector<std::string>(argv + 1, argv + argc), {env("XDG_DATA_HOME"), env("HOME")});
  if (auto* help = std::get_if<cli::Help>(&command)) {
    (help->isError ? std::cerr : std::cout) << help->text;
    return help->isError ? 2 : 0;
  }
  if (auto* error = std::get_if<cli::UsageError>(&command)) return usageError(error->message);
  if (auto* args = std::get_if<cli::ServeArgs>(&command)) return serve(*args);
  return invite(std::get<cli::InviteArgs>(command));
}
