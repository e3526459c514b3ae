#pragma once

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneServer/Server.h"
#include "tests/OrvaneServer/FakeAuth.h"

// What the server's load test and benchmark share: the server in a child
// process, so its resident memory is its own and each side has its own
// descriptor limit, and clients that sign in as paired devices.
namespace orvane::test::load {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using PlainSocket = websocket::stream<tcp::socket>;
using TlsSocket = websocket::stream<net::ssl::stream<tcp::socket>>;

// Account i holds two devices, "mac-i" and "pad-i".
inline std::string token(const char* role, int i) { return std::string(role) + "-token-" + std::to_string(i); }

// Raises this process's descriptor limit towards its hard limit; false when
// even that is below `wanted`.
inline bool raiseFileLimit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted;
}

inline long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Closes every descriptor from 3 up but `keepA` and `keepB`.
inline void closeDescriptorsExcept(int keepA, int keepB) {
  const int low = std::min(keepA, keepB);
  const int high = std::max(keepA, keepB);
  if (low > 3) close_range(3, static_cast<unsigned>(low - 1), 0);
  if (high > low + 1) close_range(static_cast<unsigned>(low + 1), static_cast<unsigned>(high - 1), 0);
  close_range(static_cast<unsigned>(high + 1), ~0U, 0);
}

// A Server with `accounts` accounts in a forked child; the frame rate limit and
// the idle time-out are lifted, loads here are the test. With a `clusterUrl`,
// one instance of a cluster meeting in that Redis. Stopped and reaped on
// destruction.
class ForkedServer {
 public:
  ForkedServer(int accounts, std::shared_ptr<net::ssl::context> tls, std::string clusterUrl = {}) {
    int portPipe[2], control[2];
    if (pipe(portPipe) != 0 || pipe(control) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      close(portPipe[0]);
      close(control[1]);
      serve(portPipe[1], control[0], accounts, std::move(tls), std::move(clusterUrl));
    }
    close(portPipe[1]);
    close(control[0]);
    control_ = control[1];
    const bool started = read(portPipe[0], &port_, sizeof port_) == sizeof port_;
    close(portPipe[0]);
    if (!started) throw std::runtime_error("the server did not start");
  }
  ~ForkedServer() {
    close(control_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  ForkedServer(const ForkedServer&) = delete;
  ForkedServer& operator=(const ForkedServer&) = delete;

  std::uint16_t port() const { return port_; }
  long residentKiB() const { return load::residentKiB(pid_); }

 private:
  [[noreturn]] static void serve(int portPipe, int control, int accounts, std::shared_ptr<net::ssl::context> tls,
                                 std::string clusterUrl) {
    // A copy of a client's socket here would keep it open after the parent
    // closes it, and one of another server's control pipe would keep that
    // server from ever seeing its end.
    closeDescriptorsExcept(portPipe, control);
    // Heap the parent had freed is resident here too: the server reusing it
    // would grow without its resident memory showing it.
    malloc_trim(0);
    raiseFileLimit(0);
    server::fake::FakeAuth auth;
    for (int i = 0; i < accounts; ++i) {
      const std::string user = "user-" + std::to_string(i);
      auth.addToken(token("mac", i), {user, "mac-" + std::to_string(i), "mac", ""});
      auth.addToken(token("pad", i), {user, "pad-" + std::to_string(i), "pad", ""});
    }
    SystemClock clock;
    CapturingLogSink quiet;
    server::ServerOptions options;
    options.port = 0;
    options.tls = std::move(tls);
    options.hubLimits.framesPerSecond = 1e9;
    options.hubLimits.frameBurst = 1e9;
    // Clients here only read when measuring: setting up thousands of them on a busy machine must not look idle.
    options.timeouts.idle = std::chrono::hours(1);
    options.clusterUrl = std::move(clusterUrl);
    int status = 0;
    try {
      server::Server server(options, auth, clock, quiet);
      server.start();
      std::uint16_t port = server.port();
      if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
      char c;
      while (read(control, &c, 1) > 0) {
      }
      server.stop();
    } catch (const std::exception&) {
      status = 1;
    }
    _exit(status);
  }

  pid_t pid_ = -1;
  int control_ = -1;
  std::uint16_t port_ = 0;
};

// A device of account `i` that has said hello. Clients trust any certificate:
// what is measured is the server.
template <class Socket>
std::unique_ptr<Socket> join(net::io_context& ioc, net::ssl::context& clientTls, std::uint16_t port, const char* role,
                             int i) {
  std::unique_ptr<Socket> ws;
  if constexpr (std::is_same_v<Socket, TlsSocket>) {
    ws = std::make_unique<Socket>(ioc, clientTls);
  } else {
    ws = std::make_unique<Socket>(ioc);
  }
  beast::get_lowest_layer(*ws).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  if constexpr (std::is_same_v<Socket, TlsSocket>) ws->next_layer().handshake(net::ssl::stream_base::client);
  ws->set_option(websocket::stream_base::decorator([t = token(role, i)](websocket::request_type& req) {
    req.set(beast::http::field::authorization, "Bearer " + t);
  }));
  ws->handshake("127.0.0.1", "/v1/ws");
  ws->write(net::buffer(std::string(R"({"type":"hello","role":")") + role + R"(","deviceId":")" + role + "-" +
                        std::to_string(i) + R"("})"));
  beast::flat_buffer buffer;
  ws->read(buffer);  // welcome
  return ws;
}

// Whether `pad`'s list of hosts names `host` now. Call only while nothing
// else is on its way to the pad.
template <class Socket>
bool listsHost(Socket& pad, const std::string& host) {
  pad.write(net::buffer(std::string(R"({"type":"listHosts"})")));
  beast::flat_buffer buffer;
  pad.read(buffer);
  const auto reply = wsDecode(beast::buffers_to_string(buffer.data()));
  if (!reply || !reply.value().hosts) return false;
  const auto& hosts = *reply.value().hosts;
  return std::any_of(hosts.begin(), hosts.end(), [&](const WSHost& h) { return h.deviceId == host; });
}

}  // namespace orvane::test::load
