// bench_signal: what the signalling server costs. The memory each idle
// authenticated socket holds, plain and over TLS, with thousands held at once;
// and the route latency of ICE frames at a steady rate among many paired
// devices at once. The server runs in a child process so its resident memory
// is its own.
//
// With --cluster, the same figures for two instances meeting in a throwaway
// Redis, every host on one and every pad on the other: each frame crosses
// Redis, and each instance holds the other's devices as records.
//
//   bench_signal [--sockets N] [--pairs N] [--rate FRAMES_PER_S] [--seconds S] [--cluster]

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/OrvaneServer/LoadRig.h"
#include "tests/support/RedisServer.h"
#include "tests/support/SelfSignedCertificate.h"

namespace {

using namespace orvane::test::load;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 50;
constexpr auto kPresenceDeadline = std::chrono::seconds(30);

// Skipped, not failed, when there is no Redis to meet in.
constexpr int kSkipped = 77;

const char* kind(bool tls) { return tls ? "TLS" : "plain"; }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

template <class Socket>
void measureIdle(std::shared_ptr<net::ssl::context> tls, int sockets) {
  ForkedServer server(sockets + kWarmUp, tls);
  net::io_context ioc;
  net::ssl::context clientTls(net::ssl::context::tls_client);
  std::vector<std::unique_ptr<Socket>> idle;
  idle.reserve(static_cast<std::size_t>(sockets + kWarmUp));
  for (int i = 0; i < kWarmUp; ++i) idle.push_back(join<Socket>(ioc, clientTls, server.port(), "pad", i));
  const long before = server.residentKiB();
  const auto start = Clock::now();
  for (int i = kWarmUp; i < sockets + kWarmUp; ++i) {
    idle.push_back(join<Socket>(ioc, clientTls, server.port(), "pad", i));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long after = server.residentKiB();
  const double each = static_cast<double>(after - before) / sockets;
  std::printf(
      "idle sockets, %s: %d held, %.1f KiB each (server RSS %ld -> %ld KiB; signed in at %.0f/s; goal <= 50 KiB: "
      "%s)\n",
      kind(tls != nullptr), sockets, each, before, after, sockets / seconds, each <= 50 ? "met" : "MISSED");
}

// Presence travels through Redis: polls until the pad lists its host.
template <class Socket>
void awaitHost(Socket& pad, int i, Clock::time_point deadline) {
  const std::string host = "mac-" + std::to_string(i);
  while (!listsHost(pad, host)) {
    if (Clock::now() > deadline) throw std::runtime_error("pad-" + std::to_string(i) + " never listed " + host);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// As measureIdle, for both instances of a cluster: pads on A, their hosts on
// B. What each instance holds for a socket includes the other instance's
// record of the device at the far end.
template <class Socket>
void measureClusterIdle(std::shared_ptr<net::ssl::context> tls, int sockets) {
  orvane::test::RedisServer redis;
  ForkedServer a(sockets + kWarmUp, tls, redis.url());
  ForkedServer b(sockets + kWarmUp, tls, redis.url());
  net::io_context ioc;
  net::ssl::context clientTls(net::ssl::context::tls_client);
  std::vector<std::unique_ptr<Socket>> pads, macs;
  pads.reserve(static_cast<std::size_t>(sockets + kWarmUp));
  macs.reserve(static_cast<std::size_t>(sockets + kWarmUp));
  const auto joinPair = [&](int i) {
    pads.push_back(join<Socket>(ioc, clientTls, a.port(), "pad", i));
    macs.push_back(join<Socket>(ioc, clientTls, b.port(), "mac", i));
  };
  for (int i = 0; i < kWarmUp; ++i) joinPair(i);
  awaitHost(*pads.back(), kWarmUp - 1, Clock::now() + kPresenceDeadline);
  const long beforeA = a.residentKiB();
  const long beforeB = b.residentKiB();
  const auto start = Clock::now();
  for (int i = kWarmUp; i < sockets + kWarmUp; ++i) joinPair(i);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Records arrive in order: the last host listed, the others are there too.
  awaitHost(*pads.back(), sockets + kWarmUp - 1, Clock::now() + kPresenceDeadline);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long afterA = a.residentKiB();
  const long afterB = b.residentKiB();
  const double eachA = static_cast<double>(afterA - beforeA) / sockets;
  const double eachB = static_cast<double>(afterB - beforeB) / sockets;
  std::printf(
      "idle sockets, %s, cluster of 2: %d held on each, instance A (pads) %.1f KiB each (RSS %ld -> %ld KiB), "
      "instance B (hosts) %.1f KiB each (RSS %ld -> %ld KiB); signed in at %.0f pairs/s (goal <= 50 KiB: %s)\n",
      kind(tls != nullptr), sockets, eachA, beforeA, afterA, eachB, beforeB, afterB, sockets / seconds,
      std::max(eachA, eachB) <= 50 ? "met" : "MISSED");
}

// Every pair's host sends ICE frames to its pad, the pairs in turn, `rate`
// frames a second in all; each frame carries its number, its send time is
// kept here, the pad's read gives the route time.
template <class Socket>
class RouteLoad {
 public:
  RouteLoad(net::io_context& ioc, std::vector<std::unique_ptr<Socket>>& macs,
            std::vector<std::unique_ptr<Socket>>& pads, int rate, int frames)
      : ioc_(ioc),
        macs_(macs),
        pads_(pads),
        interval_(std::chrono::nanoseconds(1'000'000'000 / rate)),
        sent_(static_cast<std::size_t>(frames)),
        busy_(macs.size(), false),
        timer_(ioc) {
    buffers_.resize(pads.size());
    for (std::size_t i = 0; i < pads.size(); ++i) read(i);
  }

  void run() {
    start_ = Clock::now();
    tick();
    ioc_.run_for(std::chrono::seconds(5) + interval_ * sent_.size());
  }

  const std::vector<double>& micros() const { return micros_; }
  int skipped() const { return skipped_; }
  int errors() const { return errors_; }

 private:
  void tick() {
    if (next_ == sent_.size()) return;
    const std::size_t n = next_++;
    const std::size_t pair = n % macs_.size();
    if (busy_[pair]) {
      ++skipped_;
    } else {
      busy_[pair] = true;
      auto frame = std::make_shared<std::string>(
          R"({"type":"ice","sdp":"candidate:842163049 1 udp 1677729535 203.0.113.7 61243 typ srflx raddr 0.0.0.0 )"
          R"(rport 0 seq=)" +
          std::to_string(n) + R"(","sdpMLineIndex":0,"sdpMid":"0"})");
      sent_[n] = Clock::now();
      macs_[pair]->async_write(net::buffer(*frame), [this, pair, frame](beast::error_code ec, std::size_t) {
        errors_ += ec ? 1 : 0;
        busy_[pair] = false;
      });
    }
    timer_.expires_at(start_ + interval_ * next_);
    timer_.async_wait([this](beast::error_code ec) {
      if (!ec) tick();
    });
  }

  void read(std::size_t i) {
    pads_[i]->async_read(buffers_[i], [this, i](beast::error_code ec, std::size_t) {
      if (ec) {
        ++errors_;
        return;
      }
      const auto now = Clock::now();
      const std::string text = beast::buffers_to_string(buffers_[i].data());
      buffers_[i].clear();
      const std::size_t at = text.find("seq=");
      std::size_t n = 0;
      if (at != std::string::npos) std::from_chars(text.data() + at + 4, text.data() + text.size(), n);
      if (at != std::string::npos && n < sent_.size()) {
        micros_.push_back(std::chrono::duration<double, std::micro>(now - sent_[n]).count());
      }
      if (micros_.size() + static_cast<std::size_t>(skipped_) == sent_.size()) ioc_.stop();
      read(i);
    });
  }

  net::io_context& ioc_;
  std::vector<std::unique_ptr<Socket>>& macs_;
  std::vector<std::unique_ptr<Socket>>& pads_;
  std::chrono::nanoseconds interval_;
  std::vector<Clock::time_point> sent_;
  std::vector<bool> busy_;
  std::vector<beast::flat_buffer> buffers_;
  std::vector<double> micros_;
  net::steady_timer timer_;
  Clock::time_point start_;
  std::size_t next_ = 0;
  int skipped_ = 0;
  int errors_ = 0;
};

// Pairs pad i with host i, then routes `rate` frames a second for `seconds`
// and prints the figures under `label`.
template <class Socket>
void routeAndReport(const std::string& label, net::io_context& ioc, std::vector<std::unique_ptr<Socket>>& macs,
                    std::vector<std::unique_ptr<Socket>>& pads, int rate, double seconds) {
  for (std::size_t i = 0; i < pads.size(); ++i) {
    pads[i]->write(net::buffer(R"({"type":"connectRequest","targetDeviceId":"mac-)" + std::to_string(i) + R"("})"));
    beast::flat_buffer buffer;
    macs[i]->read(buffer);  // the pad's connectRequest
  }
  const int frames = std::max(1, static_cast<int>(rate * seconds));
  RouteLoad<Socket> load(ioc, macs, pads, rate, frames);
  load.run();
  const auto& us = load.micros();
  const double p99 = percentile(us, 0.99);
  std::printf(
      "%s: %zu pairs, %d frames/s for %.1f s: %zu of %d routed (%d skipped, sender busy; %d socket "
      "errors), p50 %.0f us, p99 %.0f us, max %.0f us (goal p99 <= 5000 us: %s)\n",
      label.c_str(), pads.size(), rate, seconds, us.size(), frames, load.skipped(), load.errors(),
      percentile(us, 0.5), p99, percentile(us, 1.0),
      p99 <= 5000 && us.size() == static_cast<std::size_t>(frames) ? "met" : "MISSED");
}

template <class Socket>
void measureRouting(std::shared_ptr<net::ssl::context> tls, int pairs, int rate, double seconds) {
  ForkedServer server(pairs, tls);
  net::io_context ioc;
  net::ssl::context clientTls(net::ssl::context::tls_client);
  std::vector<std::unique_ptr<Socket>> macs, pads;
  for (int i = 0; i < pairs; ++i) {
    macs.push_back(join<Socket>(ioc, clientTls, server.port(), "mac", i));
    pads.push_back(join<Socket>(ioc, clientTls, server.port(), "pad", i));
  }
  routeAndReport(std::string("routing, ") + kind(tls != nullptr), ioc, macs, pads, rate, seconds);
}

// Hosts on B, pads on A: every frame goes from B through Redis to A.
template <class Socket>
void measureClusterRouting(std::shared_ptr<net::ssl::context> tls, int pairs, int rate, double seconds) {
  orvane::test::RedisServer redis;
  ForkedServer a(pairs, tls, redis.url());
  ForkedServer b(pairs, tls, redis.url());
  net::io_context ioc;
  net::ssl::context clientTls(net::ssl::context::tls_client);
  std::vector<std::unique_ptr<Socket>> macs, pads;
  for (int i = 0; i < pairs; ++i) {
    macs.push_back(join<Socket>(ioc, clientTls, b.port(), "mac", i));
    pads.push_back(join<Socket>(ioc, clientTls, a.port(), "pad", i));
  }
  const auto deadline = Clock::now() + kPresenceDeadline;
  for (int i = 0; i < pairs; ++i) awaitHost(*pads[static_cast<std::size_t>(i)], i, deadline);
  routeAndReport(std::string("routing, ") + kind(tls != nullptr) + ", host on B to pad on A through Redis", ioc, macs,
                 pads, rate, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
  int sockets = 10000;
  int pairs = 1000;
  int rate = 1000;
  double seconds = 10;
  bool cluster = false;
  for (int i = 1; i < argc; ++i) {
    const bool valued = i + 1 < argc;
    if (std::strcmp(argv[i], "--cluster") == 0) {
      cluster = true;
    } else if (valued && std::strcmp(argv[i], "--sockets") == 0) {
      sockets = std::max(1, std::atoi(argv[++i]));
    } else if (valued && std::strcmp(argv[i], "--pairs") == 0) {
      pairs = std::max(1, std::atoi(argv[++i]));
    } else if (valued && std::strcmp(argv[i], "--rate") == 0) {
      rate = std::max(1, std::atoi(argv[++i]));
    } else if (valued && std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::max(0.1, std::atof(argv[++i]));
    } else {
      std::fprintf(stderr, "bench_signal: unknown or incomplete option %s\n", argv[i]);
      return 2;
    }
  }
  if (cluster && !orvane::test::RedisServer::available()) {
    std::printf("bench_signal: redis-server is not installed: no cluster figures (skipped)\n");
    return kSkipped;
  }
  // A cluster's idle measurement holds both instances' clients here.
  const int wanted = std::max((cluster ? 2 : 1) * (sockets + 100), 2 * pairs) + 256;
  if (!raiseFileLimit(static_cast<rlim_t>(wanted))) {
    std::fprintf(stderr, "bench_signal: the hard limit on open files is below %d: raise it (ulimit -Hn)\n", wanted);
    return 2;
  }
  try {
    orvane::test::SelfSignedCertificate certificate;
    auto tls = std::make_shared<net::ssl::context>(certificate.serverContext());
    measureIdle<PlainSocket>(nullptr, sockets);
    measureIdle<TlsSocket>(tls, sockets);
    measureRouting<PlainSocket>(nullptr, pairs, rate, seconds);
    measureRouting<TlsSocket>(tls, pairs, rate, seconds);
    if (cluster) {
      measureClusterIdle<PlainSocket>(nullptr, sockets);
      measureClusterIdle<TlsSocket>(tls, sockets);
      measureClusterRouting<PlainSocket>(nullptr, pairs, rate, seconds);
      measureClusterRouting<TlsSocket>(tls, pairs, rate, seconds);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_signal: %s\n", e.what());
    return 1;
  }
  return 0;
}
