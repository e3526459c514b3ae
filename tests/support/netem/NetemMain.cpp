// orvane_netem: an emulated link between two network namespaces, for tests of
// what lossy, slow or broken networks do to a session. The kernel's netem
// queueing discipline is not available everywhere, so the link is a TUN
// device in each namespace and this process carries the packets between them.
//
//   orvane_netem NS_A ADDR_A NS_B ADDR_B [SEED]
//
// Each namespace gets "orvnet0" with its address in a /24 and its loopback up.
// Prints "ready", then reads commands on standard input, one per line, each
// answered with "ok" (or "error: ..."), applied to both directions:
//   set [loss=FRACTION] [delay=MS one way] [rate=KBIT/S, 0 unlimited] [queue=MS]
//       (what it does not name goes back to none; queue to 300 ms)
//   down | up
//   stats   → "stats a>b delivered=N lost=N queue=N outage=N b>a ..."
// Ends at the end of standard input or on SIGTERM; the devices go with it.

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/support/netem/LinkModel.h"

namespace {

using orvane::test::LinkModel;
using orvane::test::LinkSettings;

constexpr const char* kDevice = "orvnet0";

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "orvane_netem: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

bool setFlagsUp(int sock, const char* name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) return false;
  request.ifr_flags = short(request.ifr_flags | IFF_UP);
  return ioctl(sock, SIOCSIFFLAGS, &request) == 0;
}

bool setAddress(int sock, const char* name, const std::string& address) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  in->sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &in->sin_addr) != 1) return false;
  if (ioctl(sock, SIOCSIFADDR, &request) < 0) return false;
  inet_pton(AF_INET, "255.255.255.0", &in->sin_addr);
  return ioctl(sock, SIOCSIFNETMASK, &request) == 0;
}

// A TUN device in namespace `ns` with `address`; the descriptor stays tied to
// that namespace after this process returns to its own.
int openTunIn(const std::string& ns, const std::string& address) {
  const int nsFd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) fail("cannot enter namespace " + ns);
  close(nsFd);
  const int tun = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (tun < 0) fail("cannot open /dev/net/tun");
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, kDevice, IFNAMSIZ - 1);
  if (ioctl(tun, TUNSETIFF, &request) < 0) fail("cannot create the TUN device in " + ns);
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || !setAddress(sock, kDevice, address) || !setFlagsUp(sock, kDevice) || !setFlagsUp(sock, "lo")) {
    fail("cannot configure " + std::string(kDevice) + " in " + ns);
  }
  close(sock);
  return tun;
}

bool parseSettings(std::istringstream& words, LinkSettings& settings) {
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = word.substr(0, eq);
    char* end = nullptr;
    const double value = std::strtod(word.c_str() + eq + 1, &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0) return false;
    if (key == "loss" && value <= 1) {
      settings.loss = value;
    } else if (key == "delay") {
      settings.delaySeconds = value / 1000;
    } else if (key == "rate") {
      settings.rateBitsPerSecond = value * 1000;
    } else if (key == "queue") {
      settings.queueSeconds = value / 1000;
    } else {
      return false;
    }
  }
  return true;
}

std::string describe(const LinkModel& link) {
  const auto& c = link.counters();
  return "delivered=" + std::to_string(c.delivered) + " lost=" + std::to_string(c.lost) +
         " queue=" + std::to_string(c.queueDrops) + " outage=" + std::to_string(c.outageDrops);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr, "usage: orvane_netem NS_A ADDR_A NS_B ADDR_B [SEED]\n");
    return 2;
  }
  const std::uint32_t seed = argc == 6 ? std::uint32_t(std::strtoul(argv[5], nullptr, 10)) : 1;
  const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) fail("cannot open this process's namespace");
  const std::array<int, 2> tun{openTunIn(argv[1], argv[2]), openTunIn(argv[3], argv[4])};
  if (setns(home, CLONE_NEWNET) != 0) fail("cannot return to this process's namespace");
  close(home);

  // links[i] carries what tun[i] sends to tun[1 - i].
  std::array<LinkModel, 2> links{LinkModel(seed), LinkModel(seed + 1)};
  std::puts("ready");
  std::fflush(stdout);

  std::string input;
  std::array<std::uint8_t, 65536> buffer{};
  for (;;) {
    const double now = monotonicSeconds();
    int timeoutMs = -1;
    for (const auto& link : links) {
      if (auto at = link.nextDelivery()) {
        const int ms = std::max(0, int(std::ceil((*at - now) * 1000)));
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
      }
    }
    std::array<pollfd, 3> fds{{{tun[0], POLLIN, 0}, {tun[1], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) fail("poll");
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      // Drain what is there; each read is one IP packet.
      for (;;) {
        const ssize_t n = read(tun[i], buffer.data(), buffer.size());
        if (n <= 0) break;
        links[i].send(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n), monotonicSeconds());
      }
    }
    for (int i = 0; i < 2; ++i) {
      for (const auto& packet : links[i].deliver(monotonicSeconds())) {
        // A full device queue on the far side is a loss too, as on a wire.
        [[maybe_unused]] const ssize_t n = write(tun[1 - i], packet.data(), packet.size());
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP)) {
      char chunk[512];
      const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) return 0;
      input.append(chunk, std::size_t(n));
      for (auto nl = input.find('\n'); nl != std::string::npos; nl = input.find('\n')) {
        std::istringstream words(input.substr(0, nl));
        input.erase(0, nl + 1);
        std::string command;
        words >> command;
        LinkSettings settings = links[0].settings();
        std::string reply = "ok";
        if (command == "set") settings = LinkSettings{.up = settings.up};  // what it does not name is reset
        if (command == "set" && parseSettings(words, settings)) {
          for (auto& link : links) link.configure(settings);
        } else if (command == "down" || command == "up") {
          settings.up = command == "up";
          for (auto& link : links) link.configure(settings);
        } else if (command == "stats") {
          reply = "stats a>b " + describe(links[0]) + " b>a " + describe(links[1]);
        } else {
          reply = "error: unknown command";
        }
        std::puts(reply.c_str());
        std::fflush(stdout);
      }
    }
  }
}
