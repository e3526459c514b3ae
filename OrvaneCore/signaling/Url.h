#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// An absolute URL as the signalling and auth clients use it:
// scheme://host[:port][path][?query][#fragment]. No user info; IPv6 hosts are
// kept with their brackets.
struct Url {
  std::string scheme;  // lower case
  std::string host;    // as written, "[::1]" for IPv6
  std::optional<std::uint16_t> port;
  std::string path;  // empty or starting with "/"
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  static std::optional<Url> parse(std::string_view text);
  std::string toString() const;

  // The explicit port, else 80 for http/ws and 443 for https/wss.
  std::uint16_t effectivePort() const;
  bool secure() const { return scheme == "https" || scheme == "wss"; }
  // Host without IPv6 brackets, for resolving and for TLS name checks.
  std::string hostName() const;
  // "/v1/ws" appended to the path as one more component ("/base" → "/base/v1/ws").
  Url appendingPath(std::string_view component) const;
  // The path and query as an HTTP request target ("/" when empty).
  std::string target() const;

  bool operator==(const Url&) const = default;
};

}  // namespace orvane
