#include "OrvaneCore/signaling/Url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace orvane {

namespace {

bool validScheme(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

bool validHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '%' || c == '~';
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  Url url;
  const auto colon = text.find("://");
  if (colon == std::string_view::npos || !validScheme(text.substr(0, colon))) return std::nullopt;
  url.scheme.assign(text.substr(0, colon));
  std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view rest = text.substr(colon + 3);

  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment.emplace(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (auto question = rest.find('?'); question != std::string_view::npos) {
    url.query.emplace(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) url.path.assign(rest.substr(slash));
  if (authority.find('@') != std::string_view::npos) return std::nullopt;

  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    url.host.assign(authority.substr(0, close + 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
    std::string_view inner = authority.substr(1, close - 1);
    if (inner.empty() || !std::all_of(inner.begin(), inner.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        }))
      return std::nullopt;
  } else {
    const auto portColon = authority.find(':');
    url.host.assign(authority.substr(0, portColon));
    if (portColon != std::string_view::npos) portText = authority.substr(portColon + 1);
    if (url.host.empty() || !std::all_of(url.host.begin(), url.host.end(), validHostChar)) return std::nullopt;
  }
  if (!portText.empty()) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc() || end != portText.data() + portText.size() || value > 65535) return std::nullopt;
    url.port = static_cast<std::uint16_t>(value);
  } else if (authority.ends_with(':')) {
    return std::nullopt;
  }
  return url;
}

std::string Url::toString() const {
  std::string out = scheme + "://" + host;
  if (port) out += ":" + std::to_string(*port);
  out += path;
  if (query) out += "?" + *query;
  if (fragment) out += "#" + *fragment;
  return out;
}

std::uint16_t Url::effectivePort() const {
  if (port) return *port;
  return secure() ? 443 : 80;
}

std::string Url::hostName() const {
  if (host.size() >= 2 && host.front() == '[') return host.substr(1, host.size() - 2);
  return host;
}

Url Url::appendingPath(std::string_view component) const {
  Url out = *this;
  while (!out.path.empty() && out.path.back() == '/') out.path.pop_back();
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  out.path += "/";
  out.path += component;
  return out;
}

std::string Url::target() const {
  std::string out = path.empty() ? "/" : path;
  if (query) out += "?" + *query;
  return out;
}

}  // namespace orvane
