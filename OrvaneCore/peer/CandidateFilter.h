#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// One address of one network interface, as the system lists it.
struct InterfaceAddress {
  std::string name;     // "eth0", "wlp2s0", "tun0"
  int family = 0;       // AF_INET, AF_INET6, or anything else
  std::string address;  // numeric text; IPv6 may carry a "%zone" suffix
  bool hasDevice = false;  // backed by hardware: /sys/class/net/NAME/device exists
};

using InterfaceLister = std::function<std::vector<InterfaceAddress>()>;

// getifaddrs with getnameinfo; empty when the list cannot be read.
std::vector<InterfaceAddress> systemInterfaceAddresses();

// The IPv4/IPv6 addresses of interfaces that have a device, zone suffix
// dropped. Loopback, bridges, tunnels and veth pairs have none, so candidates
// on them (VPN, containers) never reach the peer.
std::set<std::string> physicalIPs(const std::vector<InterfaceAddress>& interfaces);

// A "typ host" candidate line whose connection address is not in `ips`.
// Other candidate types and malformed lines are kept.
bool shouldDropCandidate(std::string_view line, const std::set<std::string>& ips);

// Removes the dropped "a=candidate:" lines from a whole SDP; line endings and
// a trailing empty line survive. An empty set filters nothing, since an
// unreadable interface list must not strip every candidate.
std::string filterSDP(std::string_view sdp, const std::set<std::string>& ips);

}  // namespace orvane
