#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::balance {

using boost::asio::ip::tcp;

// "HOST:PORT", "[V6]:PORT" or, with a default host, "PORT"; nullopt when malformed.
struct HostPort {
  std::string host;
  std::uint16_t port = 0;
};
std::optional<HostPort> parseHostPort(std::string_view text, std::optional<std::string_view> defaultHost);

// A TCP front for several backends: each accepted connection goes to the next
// backend in turn, or, when that one refuses or does not answer in time, to
// the one after it, and so on; a connection no backend takes is closed. Bytes
// are relayed both ways through a small fixed buffer per direction (a slow
// reader slows its writer), and one side's half-close is passed on.
class Balancer {
 public:
  Balancer(boost::asio::io_context& io, const tcp::endpoint& listen, std::vector<tcp::endpoint> backends,
           std::chrono::milliseconds connectTimeout = std::chrono::seconds(3));
  Balancer(const Balancer&) = delete;
  Balancer& operator=(const Balancer&) = delete;

  tcp::endpoint local() const { return acceptor_.local_endpoint(); }
  void start();
  // Stops accepting; relayed connections run on until either side closes.
  void stop();

 private:
  void accept();

  tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;
  std::vector<tcp::endpoint> backends_;
  std::chrono::milliseconds connectTimeout_;
  std::size_t next_ = 0;
};

}  // namespace orvane::balance
