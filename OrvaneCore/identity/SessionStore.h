#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/identity/Environment.h"
#include "OrvaneCore/runtime/Locked.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane {

// Where the session token lives between launches. Setting nothing removes it.
class AppleSessionStore {
 public:
  virtual ~AppleSessionStore() = default;
  virtual std::optional<std::string> sessionToken() const = 0;
  virtual void setSessionToken(std::optional<std::string> token) = 0;
};

// Keeps the token only as long as the object lives.
class InMemorySessionStore final : public AppleSessionStore {
 public:
  std::optional<std::string> sessionToken() const override { return token_.get(); }
  void setSessionToken(std::optional<std::string> token) override { token_.set(std::move(token)); }

 private:
  Locked<std::optional<std::string>> token_;
};

// $XDG_CONFIG_HOME/orvane/secrets, else $HOME/.config/orvane/secrets, else
// the same under the password database's home; empty when none is known.
std::filesystem::path defaultSecretsDirectory(const EnvironmentLookup& environment = systemEnvironment);

// The keychain's generic-password item on Linux: one file per (service,
// account), mode 0600, in a 0700 directory. Writes are atomic, even across a
// crash, and serialised between processes by a lock on the directory; a failed
// write leaves no token (as a keychain delete-then-add would), and any read
// error counts as no token. Safe from any thread.
class KeychainSessionStore final : public AppleSessionStore {
 public:
  KeychainSessionStore(std::string service, std::string account,
                       std::filesystem::path directory = defaultSecretsDirectory());

  const std::string& service() const { return service_; }
  const std::string& account() const { return account_; }
  // The item's file: always directly inside the directory, whatever the
  // service and account hold.
  std::filesystem::path itemPath() const;

  enum class ItemState {
    none,        // no item (an empty file counts as none)
    found,
    unreadable,  // could not be opened or read
    notAFile,    // a directory, link, pipe or device
    tooLarge,    // over kMaxItemBytes: not a token of ours
  };
  static constexpr std::size_t kMaxItemBytes = 64 * 1024;
  struct Item {
    ItemState state = ItemState::none;
    std::optional<std::string> token;  // when found
  };
  // Found bytes are decoded as UTF-8 with ill-formed sequences replaced by
  // U+FFFD.
  Item readItem() const;
  // The found token; anything else counts as none.
  std::optional<std::string> sessionToken() const override { return readItem().token; }
  // An empty token removes the item, like none.
  void setSessionToken(std::optional<std::string> token) override;

 private:
  bool write(std::string_view token) const;
  bool writeLocked(std::string_view token, int directoryFd) const;

  std::string service_;
  std::string account_;
  std::filesystem::path directory_;
};

// The host's keychain item: a token per signalling server.
inline constexpr std::string_view kSessionKeychainService = "com.kelbrin.Orvane.session";
// "orvane-session-token@" + the server URL's host name, or "default" without one.
std::string sessionKeychainAccount(const Url& signalingServerURL);

}  // namespace orvane
