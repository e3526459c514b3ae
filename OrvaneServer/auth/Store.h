#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneServer/auth/Auth.h"

struct sqlite3;

namespace orvane::server {

inline constexpr const char* kDatabaseFile = "orvane-signal.db";

// Why the constructor refused a database file. It leaves such a file as it
// found it: it may be another program's, or a damaged copy worth rescuing.
class StoreError : public std::runtime_error {
 public:
  enum class Kind {
    cannotOpen,     // missing rights, a directory, no space
    notADatabase,   // not SQLite at all (garbage, another format)
    corrupt,        // SQLite, but damaged or truncated
    foreignSchema,  // SQLite with tables that are not ours
    newerVersion,   // written by a newer orvane-signal
  };
  StoreError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Accounts and sessions in SQLite. Each operation is one transaction, so
// another process on the same file sees all of it or none. Not thread-safe:
// the caller serialises. Failures throw std::runtime_error; the constructor
// throws StoreError.
class Store {
 public:
  explicit Store(const std::filesystem::path& file);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

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
  std::optional<std::string> issueSession(const Grant& grant);

  std::optional<SessionIdentity> findSession(std::string_view tokenHash);

  enum class Deletion { deleted, alreadyGone, unknownToken };
  struct DeleteResult {
    Deletion outcome;
    std::string userId;  // when deleted
  };
  DeleteResult deleteAccount(std::string_view tokenHash, std::int64_t now);

 private:
  struct CloseDb {
    void operator()(sqlite3* db) const;
  };
  struct Statements;
  template <typename Fn>
  auto inTransaction(Fn&& fn);
  void execute(const char* sql);
  void checkFile(const std::filesystem::path& file);

  std::unique_ptr<sqlite3, CloseDb> db_;
  std::unique_ptr<Statements> q_;  // declared after db_: finalized before it closes
};

}  // namespace orvane::server
