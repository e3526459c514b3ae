#include "OrvaneServer/TurnCredentials.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvane::server {

std::string turnPassword(std::string_view secret, std::string_view username) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(username.data()), username.size(), digest, &length);
  std::string encoded(4 * ((length + 2) / 3), '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), digest, static_cast<int>(length));
  encoded.resize(static_cast<std::size_t>(written));
  return encoded;
}

IceServerInfo turnCredentials(const std::vector<std::string>& urls, std::string_view secret, std::string_view userId,
                              std::int64_t expiresAt) {
  IceServerInfo server;
  server.urls = urls;
  server.username = std::to_string(expiresAt) + ":" + std::string(userId);
  server.credential = turnPassword(secret, *server.username);
  return server;
}

IceServerIssuer makeTurnIssuer(TurnConfig config) {
  if (config.urls.empty() || config.secret.empty()) return nullptr;
  return [config = std::move(config)](const std::string& userId, std::int64_t now) -> std::optional<IssuedIceServers> {
    const std::int64_t expiresAt = now + config.ttl.count();
    return IssuedIceServers{{turnCredentials(config.urls, config.secret, userId, expiresAt)}, now, expiresAt};
  };
}

std::variant<std::string, SecretFileError> readTurnSecret(const std::filesystem::path& file) {
  const std::string name = file.string();
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return SecretFileError{"cannot open the TURN secret " + name + ": " + std::strerror(errno)};
  struct stat info {};
  std::string text;
  std::optional<SecretFileError> error;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = SecretFileError{"the TURN secret " + name + " is not a regular file"};
  } else if ((info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    error = SecretFileError{"the TURN secret " + name + " is accessible to every user; run: chmod o-rw " + name};
  } else if (info.st_size > static_cast<off_t>(kMaxTurnSecretBytes)) {
    error = SecretFileError{"the TURN secret " + name + " is longer than one line"};
  } else {
    char buffer[kMaxTurnSecretBytes + 1];
    ssize_t got = 0;
    while (text.size() <= kMaxTurnSecretBytes && (got = ::read(fd, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    if (got < 0) error = SecretFileError{"cannot read the TURN secret " + name + ": " + std::strerror(errno)};
  }
  ::close(fd);
  if (error) return *error;
  if (text.size() > kMaxTurnSecretBytes) return SecretFileError{"the TURN secret " + name + " is longer than one line"};
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.empty()) return SecretFileError{"the TURN secret " + name + " is empty"};
  return text;
}

}  // namespace orvane::server
