#include "OrvaneCore/identity/SessionStore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "OrvaneCore/json/Utf8.h"

namespace orvane {

namespace {

// A session token is a few dozen bytes; a bigger file is not one of ours.
constexpr std::size_t kMaxItemBytes = KeychainSessionStore::kMaxItemBytes;
constexpr std::string_view kTempPrefix = ".tmp-";
// Below the usual 255-byte name limit, with room for nothing else.
constexpr std::size_t kMaxReadableName = 200;

std::string percentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || c == '.' ||
        c == '-' || c == '_') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  return out;
}

std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  std::string out;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    out += pair;
  }
  return out;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ensurePrivateDirectory(const std::filesystem::path& directory) {
  std::error_code ec;
  std::filesystem::create_directories(directory.parent_path(), ec);
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
  // An existing directory may have been made with looser rights. Best effort:
  // the item's own 0600 still protects it where modes cannot change.
  ::chmod(directory.c_str(), 0700);
  return true;
}

// Temporary files of writers killed before their rename. Only called under
// the lock, when no other writer can have one in progress.
void removeAbandonedTemporaries(const std::filesystem::path& directory) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() == kTempPrefix.size() + 6 && name.starts_with(kTempPrefix)) ::unlink(it->path().c_str());
  }
}

}  // namespace

KeychainSessionStore::KeychainSessionStore(std::string service, std::string account, std::filesystem::path directory)
    : service_(std::move(service)), account_(std::move(account)), directory_(std::move(directory)) {}

std::filesystem::path defaultSecretsDirectory(const EnvironmentLookup& environment) {
  // XDG rules: a relative XDG_CONFIG_HOME is ignored.
  if (auto config = environment("XDG_CONFIG_HOME"); config && !config->empty() && config->front() == '/') {
    return std::filesystem::path(*config) / "orvane" / "secrets";
  }
  std::optional<std::string> home = environment("HOME");
  if (!home || home->empty()) {
    home.reset();
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr && *entry->pw_dir) {
      home = entry->pw_dir;
    }
  }
  if (!home) return {};
  return std::filesystem::path(*home) / ".config" / "orvane" / "secrets";
}

std::filesystem::path KeychainSessionStore::itemPath() const {
  // '@' never comes out of the encoding, so distinct pairs get distinct names.
  std::string name = percentEncoded(service_) + "@" + percentEncoded(account_);
  if (name.size() > kMaxReadableName) {
    name = "sha256-" + sha256Hex(service_ + std::string(1, '\0') + account_);
  }
  return directory_ / (name + ".token");
}

KeychainSessionStore::Item KeychainSessionStore::readItem() const {
  if (directory_.empty()) return {};
  const int fd = ::open(itemPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);  // a FIFO must not hang us
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {errno == ELOOP ? ItemState::notAFile : ItemState::unreadable, std::nullopt};
  }
  std::string data;
  struct stat info {};
  ItemState state = ItemState::found;
  if (::fstat(fd, &info) != 0) {
    state = ItemState::unreadable;
  } else if (!S_ISREG(info.st_mode)) {
    state = ItemState::notAFile;
  } else if (static_cast<std::size_t>(info.st_size) > kMaxItemBytes) {
    state = ItemState::tooLarge;
  }
  char chunk[4096];
  while (state == ItemState::found) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) state = ItemState::unreadable;
    if (n > 0 && data.size() + static_cast<std::size_t>(n) > kMaxItemBytes) state = ItemState::tooLarge;
    if (state != ItemState::found || n == 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (state != ItemState::found) return {state, std::nullopt};
  if (data.empty()) return {};
  return {ItemState::found, repairingUtf8(data)};
}

void KeychainSessionStore::setSessionToken(std::optional<std::string> token) {
  if (directory_.empty()) return;
  if (token && !token->empty() && write(*token)) return;
  ::unlink(itemPath().c_str());
}

bool KeychainSessionStore::write(std::string_view token) const {
  if (!ensurePrivateDirectory(directory_)) return false;
  const int dir = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  // Held until the descriptor closes. Where the filesystem cannot lock, the
  // write goes on and only the clean-up is skipped.
  int locked;
  while ((locked = ::flock(dir, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked == 0) removeAbandonedTemporaries(directory_);
  const bool ok = writeLocked(token, dir);
  ::close(dir);
  return ok;
}

bool KeychainSessionStore::writeLocked(std::string_view token, int dir) const {
  std::string temp = (directory_ / (std::string(kTempPrefix) + "XXXXXX")).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created 0600
  if (fd < 0) return false;
  bool ok = writeAll(fd, token) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), itemPath().c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Makes the rename itself survive a crash.
  ::fsync(dir);
  return true;
}

std::string sessionKeychainAccount(const Url& signalingServerURL) {
  const std::string host = signalingServerURL.hostName();
  return "orvane-session-token@" + (host.empty() ? std::string("default") : host);
}

}  // namespace orvane
