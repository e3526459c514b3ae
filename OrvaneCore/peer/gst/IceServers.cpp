#include "OrvaneCore/peer/gst/IceServers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

namespace orvane::rtc {
namespace {

struct ParsedUrl {
  std::string scheme;
  std::string host;  // IPv6 keeps its brackets
  int port = 0;
  std::string transport;  // "", "udp" or "tcp"
};

bool validHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  if (host.front() == '[') {
    return host.back() == ']' && host.size() > 2 &&
           std::all_of(host.begin() + 1, host.end() - 1, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
  }
  return std::all_of(host.begin(), host.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'; });
}

// "scheme:host[:port][?transport=udp|tcp]", the RFC 7064/7065 forms.
std::optional<ParsedUrl> parse(std::string_view url) {
  ParsedUrl out;
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  out.scheme = std::string(url.substr(0, colon));
  std::string_view rest = url.substr(colon + 1);
  if (const std::size_t q = rest.find('?'); q != std::string_view::npos) {
    const std::string_view query = rest.substr(q + 1);
    rest = rest.substr(0, q);
    if (query == "transport=udp") {
      out.transport = "udp";
    } else if (query == "transport=tcp") {
      out.transport = "tcp";
    } else {
      return std::nullopt;
    }
  }
  std::string_view host = rest;
  std::string_view port;
  const std::size_t bracket = rest.rfind(']');
  const std::size_t portColon = rest.rfind(':');
  if (portColon != std::string_view::npos && (bracket == std::string_view::npos || portColon > bracket)) {
    host = rest.substr(0, portColon);
    port = rest.substr(portColon + 1);
  }
  if (!validHost(host)) return std::nullopt;
  out.host = std::string(host);
  out.port = out.scheme == "turns" ? 5349 : 3478;
  if (!port.empty()) {
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), out.port);
    if (ec != std::errc() || end != port.data() + port.size() || out.port < 1 || out.port > 65535) return std::nullopt;
  }
  return out;
}

// webrtcbin unescapes both halves of user:pass, so ':' and '@' survive.
std::string escape(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace

WebrtcbinIceServers webrtcbinIceServers(const std::vector<IceServer>& servers) {
  WebrtcbinIceServers out;
  for (const auto& server : servers) {
    for (const auto& url : server.urls) {
      const auto parsed = parse(url);
      if (!parsed) {
        out.skipped.push_back(url);
      } else if (parsed->scheme == "stun" && !out.stun) {
        out.stun = "stun://" + parsed->host + ":" + std::to_string(parsed->port);
      } else if ((parsed->scheme == "turn" || parsed->scheme == "turns") && server.username && server.credential) {
        std::string turn = parsed->scheme + "://" + escape(*server.username) + ":" + escape(*server.credential) + "@" +
                           parsed->host + ":" + std::to_string(parsed->port);
        if (!parsed->transport.empty()) turn += "?transport=" + parsed->transport;
        out.turn.push_back(std::move(turn));
      } else {
        out.skipped.push_back(url);  // a second STUN server, TURN without credentials, other schemes
      }
    }
  }
  return out;
}

}  // namespace orvane::rtc
