// bench_signal: what the signalling server costs. Route latency of offer/ice
// frames between two paired sockets on loopback, and the memory each idle
// authenticated socket holds. The server runs in a child process so its
// resident memory is its own.
//
//   bench_signal [--frames N] [--sockets N] [--tls-cert FILE --tls-key FILE]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/net/Tls.h"
#include "OrvaneServer/Server.h"
#include "tests/OrvaneServer/FakeAuth.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using PlainSocket = websocket::stream<tcp::socket>;
using TlsSocket = websocket::stream<net::ssl::stream<tcp::socket>>;

struct Tls {
  std::string cert, key;
  explicit operator bool() const { return !cert.empty(); }
};

std::string idleToken(int i) { return "idle-" + std::to_string(i); }

// The child: a server with one account per idle socket and a paired mac/pad
// couple; the rate limit is lifted so the latency run is not throttled. It
// stops when the parent closes `control`.
[[noreturn]] void runServer(int portPipe, int control, int sockets, const Tls& tls) {
  orvane::server::fake::FakeAuth auth;
  auth.addToken("bench-mac", {"bench", "mac-1", "mac", "Bench Mac"});
  auth.addToken("bench-pad", {"bench", "pad-1", "pad", "Bench Pad"});
  for (int i = 0; i < sockets; ++i) auth.addToken(idleToken(i), {idleToken(i), "pad-" + std::to_string(i), "pad", ""});
  orvane::SystemClock clock;
  orvane::CapturingLogSink quiet;
  orvane::server::ServerOptions options;
  options.port = 0;
  options.hubLimits.framesPerSecond = 1e9;
  options.hubLimits.frameBurst = 1e9;
  if (tls) options.tls = std::make_shared<net::ssl::context>(orvane::net::makeServerTlsContext(tls.cert, tls.key));
  orvane::server::Server server(options, auth, clock, quiet);
  server.start();
  std::uint16_t port = server.port();
  if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
  char c;
  while (read(control, &c, 1) > 0) {
  }
  server.stop();
  _exit(0);
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Clients trust any certificate: what is measured is the server.
net::ssl::context clientTls(net::ssl::context::tls_client);

template <class Socket>
std::unique_ptr<Socket> join(net::io_context& ioc, std::uint16_t port, const std::string& token, const char* role,
                             const std::string& device) {
  std::unique_ptr<Socket> ws;
  if constexpr (std::is_same_v<Socket, TlsSocket>) {
    ws = std::make_unique<Socket>(ioc, clientTls);
  } else {
    ws = std::make_unique<Socket>(ioc);
  }
  beast::get_lowest_layer(*ws).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  if constexpr (std::is_same_v<Socket, TlsSocket>) ws->next_layer().handshake(net::ssl::stream_base::client);
  ws->set_option(websocket::stream_base::decorator(
      [token](websocket::request_type& req) { req.set(beast::http::field::authorization, "Bearer " + token); }));
  ws->handshake("127.0.0.1", "/v1/ws");
  ws->write(net::buffer(std::string(R"({"type":"hello","role":")") + role + R"(","deviceId":")" + device + R"("})"));
  beast::flat_buffer buffer;
  ws->read(buffer);  // welcome
  return ws;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

template <class Socket>
void measureLatency(net::io_context& ioc, std::uint16_t port, int frames) {
  auto mac = join<Socket>(ioc, port, "bench-mac", "mac", "mac-1");
  auto pad = join<Socket>(ioc, port, "bench-pad", "pad", "pad-1");
  pad->write(net::buffer(std::string(R"({"type":"connectRequest","targetDeviceId":"mac-1"})")));
  beast::flat_buffer buffer;
  mac->read(buffer);

  std::string sdp = "v=0\\r\\no=- 4611731400430051336 2 IN IP4 127.0.0.1\\r\\ns=-\\r\\nt=0 0\\r\\n";
  while (sdp.size() < 3000) sdp += "a=candidate:1 1 udp 2122260223 192.168.1.10 54321 typ host generation 0\\r\\n";
  const std::string offer = R"({"type":"offer","sdp":")" + sdp + R"("})";
  const std::string ice =
      R"({"type":"ice","sdp":"candidate:842163049 1 udp 1677729535 203.0.113.7 61243 typ srflx raddr 0.0.0.0 rport 0","sdpMLineIndex":0,"sdpMid":"0"})";
  std::vector<double> micros;
  const int warmup = std::min(100, frames / 10);
  for (int i = 0; i < frames + warmup; ++i) {
    const std::string& frame = i % 10 == 0 ? offer : ice;  // trickle: one offer, then candidates
    auto start = Clock::now();
    mac->write(net::buffer(frame));
    buffer.clear();
    pad->read(buffer);
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (i >= warmup) micros.push_back(us);
  }
  std::printf(
      "route latency, mac -> server -> pad, %d frames (1 offer of %zu B per 9 ice): p50 %.0f us, p99 %.0f us, "
      "max %.0f us (goal p99 <= 5000 us: %s)\n",
      frames, offer.size(), percentile(micros, 0.5), percentile(micros, 0.99), percentile(micros, 1.0),
      percentile(micros, 0.99) <= 5000 ? "met" : "MISSED");
}

template <class Socket>
void measureMemory(net::io_context& ioc, std::uint16_t port, pid_t server, int sockets) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  long before = residentKiB(server);
  std::vector<std::unique_ptr<Socket>> idle;
  idle.reserve(static_cast<std::size_t>(sockets));
  for (int i = 0; i < sockets; ++i)
    idle.push_back(join<Socket>(ioc, port, idleToken(i), "pad", "pad-" + std::to_string(i)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long after = residentKiB(server);
  double perSocket = static_cast<double>(after - before) / sockets;
  std::printf(
      "memory per idle authenticated socket, %d sockets: %.1f KiB (server RSS %ld -> %ld KiB; goal <= 50 KiB: "
      "%s)\n",
      sockets, perSocket, before, after, perSocket <= 50 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 10000;
  int sockets = 2000;
  Tls tls;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--frames") == 0) frames = std::max(10, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--sockets") == 0) sockets = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--tls-cert") == 0) tls.cert = argv[i + 1];
    if (std::strcmp(argv[i], "--tls-key") == 0) tls.key = argv[i + 1];
  }
  // Both ends hold one descriptor per socket.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  int portPipe[2], control[2];
  if (pipe(portPipe) != 0 || pipe(control) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    close(portPipe[0]);
    close(control[1]);
    runServer(portPipe[1], control[0], sockets, tls);
  }
  close(portPipe[1]);
  close(control[0]);
  std::uint16_t port = 0;
  if (read(portPipe[0], &port, sizeof port) != sizeof port) return 1;

  int status = 1;
  try {
    net::io_context ioc;
    std::printf("%s\n", tls ? "over TLS" : "plain WebSocket");
    if (tls) {
      measureLatency<TlsSocket>(ioc, port, frames);
      measureMemory<TlsSocket>(ioc, port, child, sockets);
    } else {
      measureLatency<PlainSocket>(ioc, port, frames);
      measureMemory<PlainSocket>(ioc, port, child, sockets);
    }
    status = 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_signal: %s\n", e.what());
  }
  close(control[1]);
  int childStatus = 0;
  waitpid(child, &childStatus, 0);
  return status;
}
