#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "OrvaneServer/auth/Auth.h"

namespace orvane::server {

// Why a store refused its database, or could not reach it. A refused
// database is left as it was found: it may be another program's, or a
// damaged copy worth rescuing.
class StoreError : public std::runtime_error {
 public:
  enum class Kind {
    cannotOpen,     // missing rights, a directory, no space, server unreachable at start
    notADatabase,   // not SQLite at all (garbage, another format)
    corrupt,        // SQLite, but damaged or truncated
    foreignSchema,  // tables that are not ours
    newerVersion,   // written by a newer orvane-signal
    unavailable,    // connection lost or timed out during a call; a later call reconnects
  };
  StoreError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Accounts and sessions. Each operation is one transaction: another process
// on the same database sees all of it or none, and an invite id is consumed
// at most once across every process sharing the database. Not thread-safe:
// the caller serialises. Failures throw std::runtime_error (StoreError for the
// typed cases above).
class AccountStore {
 public:
  virtual ~AccountStore() = default;

  struct Grant {
    std::string_view issuer;   // users are keyed by (issuer, subject)
    std::string_view subject;
    std::string_view jti;      // one-time id to consume; empty = none
    std::int64_t jtiExpires = 0;
    std::string_view tokenHash;
    std::string_view deviceId;
    std::string_view role;
    std::string_view deviceName;
    std::int64_t now = 0;
  };
  // Finds or creates the user and gives the device this one session. Nothing
  // when the jti was already consumed (and then nothing is written).
  virtual std::optional<std::string> issueSession(const Grant& grant) = 0;

  virtual std::optional<SessionIdentity> findSession(std::string_view tokenHash) = 0;

  enum class Deletion { deleted, alreadyGone, unknownToken };
  struct DeleteResult {
    Deletion outcome;
    std::string userId;  // when deleted
  };
  virtual DeleteResult deleteAccount(std::string_view tokenHash, std::int64_t now) = 0;
};

// Retention shared by every store. Used invite ids outlive their tokens by a
// day, so a clock stepped back cannot make a pruned invite redeemable again.
inline constexpr std::int64_t kUsedInviteGrace = 24 * 3600;
// How long a deleted account's tokens are still answered with 404.
inline constexpr std::int64_t kTombstoneSeconds = 90 * 24 * 3600;

}  // namespace orvane::server
