#include "OrvaneCore/identity/IdentityTokenSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OrvaneCore/identity/AuthErrors.h"
#include "OrvaneCore/json/Utf8.h"

namespace orvane {

namespace {

// Identity tokens are signed JWTs of a few kilobytes at most.
constexpr std::size_t kMaxTokenFileBytes = 64 * 1024;

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string readTokenFile(const std::filesystem::path& path) {
  const auto failure = [&](int error) {
    return AppleSignInError::cancelledOrFailed("Cannot read the identity token file " + path.string() + ": " +
                                               std::strerror(error));
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw failure(errno);
  std::string data;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : (data.size() + static_cast<std::size_t>(n) > kMaxTokenFileBytes ? EFBIG : 0);
    if (error != 0) {
      ::close(fd);
      throw failure(error);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace

UserSuppliedIdentityToken::UserSuppliedIdentityToken(std::filesystem::path tokenFile, EnvironmentLookup environment)
    : tokenFile_(std::move(tokenFile)), environment_(std::move(environment)) {}

std::string UserSuppliedIdentityToken::readToken() const {
  std::string raw;
  if (auto token = environment_(kTokenVariable)) {
    raw = std::move(*token);
  } else if (auto file = environment_(kTokenFileVariable)) {
    raw = readTokenFile(*file);
  } else if (!tokenFile_.empty()) {
    raw = readTokenFile(tokenFile_);
  } else {
    throw AppleSignInError::cancelledOrFailed(
        "no identity token: run `orvane-signal invite --user NAME` on the server and set ORVANE_IDENTITY_TOKEN "
        "(or ORVANE_IDENTITY_TOKEN_FILE)");
  }
  const std::string_view token = trimmed(raw);
  if (token.empty() || !isValidUtf8(token)) throw AppleSignInError::noIdentityToken();
  return std::string(token);
}

Task<std::string> UserSuppliedIdentityToken::requestIdentityToken() { co_return readToken(); }

}  // namespace orvane
