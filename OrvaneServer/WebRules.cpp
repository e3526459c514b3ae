#include "OrvaneServer/WebRules.h"

#include "OrvaneServer/auth/Auth.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>
#include <vector>

namespace orvane::server {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

bool isInside(const std::filesystem::path& root, const std::filesystem::path& file) {
  auto [r, f] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  return r == root.end() && f != file.end();
}

}  // namespace

WsCredentials readWsCredentials(std::string_view authorization, std::string_view offered) {
  WsCredentials out;
  if (auto token = bearerToken(authorization); token && !token->empty()) out.token = std::string(*token);
  bool offersOurs = false;
  std::string bearerEntry;
  while (!offered.empty()) {
    std::size_t comma = offered.find(',');
    std::string_view entry = trim(offered.substr(0, comma));
    offered = comma == std::string_view::npos ? std::string_view{} : offered.substr(comma + 1);
    if (entry == kSubprotocol) offersOurs = true;
    if (entry.starts_with(kBearerSubprotocolPrefix) && entry.size() > kBearerSubprotocolPrefix.size() &&
        bearerEntry.empty()) {
      bearerEntry = std::string(entry);
    }
  }
  if (!out.token && !bearerEntry.empty()) out.token = bearerEntry.substr(kBearerSubprotocolPrefix.size());
  if (offersOurs) {
    out.subprotocol = std::string(kSubprotocol);
  } else {
    out.subprotocol = bearerEntry;
  }
  return out;
}

std::string_view targetPath(std::string_view target) { return target.substr(0, target.find_first_of("?#")); }

std::optional<std::filesystem::path> resolveStaticFile(const std::filesystem::path& root, std::string_view target) {
  auto decoded = percentDecode(targetPath(target));
  if (!decoded || !decoded->starts_with('/') || decoded->find('\0') != std::string::npos ||
      decoded->find('\\') != std::string::npos) {
    return std::nullopt;
  }
  std::filesystem::path candidate = root;
  std::string_view rest = *decoded;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (segment.empty()) continue;
    if (segment.front() == '.') return std::nullopt;
    candidate /= std::string(segment);
  }
  std::error_code ec;
  if (std::filesystem::is_directory(candidate, ec)) candidate /= "index.html";
  std::filesystem::path real = std::filesystem::canonical(candidate, ec);
  if (ec || !isInside(root, real) || !std::filesystem::is_regular_file(real, ec)) return std::nullopt;
  return real;
}

std::string_view contentType(const std::filesystem::path& file) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 18> kTypes = {{
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".map", "application/json"},
      {".webmanifest", "application/manifest+json"},
      {".txt", "text/plain; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".ico", "image/x-icon"},
      {".webp", "image/webp"},
      {".wasm", "application/wasm"},
      {".woff2", "font/woff2"},
  }};
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const auto& [suffix, type] : kTypes) {
    if (ext == suffix) return type;
  }
  return "application/octet-stream";
}

}  // namespace orvane::server
