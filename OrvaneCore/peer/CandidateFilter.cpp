#include "OrvaneCore/peer/CandidateFilter.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace orvane {

std::vector<InterfaceAddress> systemInterfaceAddresses() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char host[1025];
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    struct stat info {};
    const std::string devicePath = std::string("/sys/class/net/") + entry->ifa_name + "/device";
    out.push_back({entry->ifa_name, family, host, stat(devicePath.c_str(), &info) == 0});
  }
  freeifaddrs(list);
  return out;
}

std::set<std::string> physicalIPs(const std::vector<InterfaceAddress>& interfaces) {
  std::set<std::string> ips;
  for (const auto& entry : interfaces) {
    if ((entry.family != AF_INET && entry.family != AF_INET6) || !entry.hasDevice) continue;
    ips.insert(entry.address.substr(0, entry.address.find('%')));
  }
  return ips;
}

bool shouldDropCandidate(std::string_view line, const std::set<std::string>& ips) {
  if (line.find("typ host") == std::string_view::npos) return false;
  std::vector<std::string_view> fields;
  for (std::size_t start = 0; start < line.size();) {
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  if (fields.size() < 6) return false;
  return ips.find(std::string(fields[4])) == ips.end();
}

std::string filterSDP(std::string_view sdp, const std::set<std::string>& ips) {
  if (ips.empty()) return std::string(sdp);
  std::string out;
  out.reserve(sdp.size());
  bool first = true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = sdp.find('\n', start);
    const std::string_view piece = sdp.substr(start, end == std::string_view::npos ? sdp.size() - start : end - start);
    if (!(piece.starts_with("a=candidate:") && shouldDropCandidate(piece, ips))) {
      if (!first) out.push_back('\n');
      out.append(piece);
      first = false;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace orvane
