// orvane-balance: a TCP round-robin front for several orvane-signal instances
// (or any TCP servers), for trying a cluster on one machine.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "tools/orvane-balance/Balancer.h"

namespace {

using orvane::balance::tcp;

constexpr const char* kUsage =
    "usage: orvane-balance --listen [ADDR:]PORT --backend HOST:PORT [--backend HOST:PORT ...]\n"
    "\n"
    "Accepts TCP connections on ADDR (default 0.0.0.0) and PORT (0: a free one) and\n"
    "relays each to the next backend in turn, skipping those that refuse it.\n"
    "Prints \"listening on ADDR:PORT\" once ready; SIGINT or SIGTERM stops it.\n";

int usage(const char* problem) {
  if (problem) std::fprintf(stderr, "orvane-balance: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<orvane::balance::HostPort> listen;
  std::vector<orvane::balance::HostPort> backends;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return usage(nullptr);
    if (i + 1 == argc) return usage("missing value or unknown option");
    const std::string_view value = argv[++i];
    if (arg == "--listen") {
      listen = orvane::balance::parseHostPort(value, "0.0.0.0");
      if (!listen) return usage("--listen needs [ADDR:]PORT");
    } else if (arg == "--backend") {
      const auto backend = orvane::balance::parseHostPort(value, std::nullopt);
      if (!backend || backend->port == 0) return usage("--backend needs HOST:PORT");
      backends.push_back(*backend);
    } else {
      return usage("unknown option");
    }
  }
  if (!listen) return usage("--listen is required");
  if (backends.empty()) return usage("at least one --backend is required");

  try {
    boost::asio::io_context io;
    tcp::resolver resolver(io);
    std::vector<tcp::endpoint> endpoints;
    for (const auto& backend : backends) {
      // The first address of each; a name is looked up once, here.
      const auto results = resolver.resolve(backend.host, std::to_string(backend.port));
      endpoints.push_back(results.begin()->endpoint());
    }
    const tcp::endpoint at(boost::asio::ip::make_address(listen->host), listen->port);
    orvane::balance::Balancer balancer(io, at, std::move(endpoints));
    balancer.start();
    const auto local = balancer.local();
    const std::string address = local.address().is_v6() ? "[" + local.address().to_string() + "]"
                                                        : local.address().to_string();
    std::printf("listening on %s:%u\n", address.c_str(), unsigned(local.port()));
    std::fflush(stdout);

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });
    io.run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "orvane-balance: %s\n", error.what());
    return 1;
  }
  return 0;
}
