#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneServer/auth/AccountStore.h"

struct sqlite3;

namespace orvane::server {

inline constexpr const char* kDatabaseFile = "orvane-signal.db";

// Accounts and sessions in one SQLite file (the default store). The
// constructor throws StoreError.
class Store final : public AccountStore {
 public:
  explicit Store(const std::filesystem::path& file);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::optional<std::string> issueSession(const Grant& grant) override;
  std::optional<SessionIdentity> findSession(std::string_view tokenHash) override;
  DeleteResult deleteAccount(std::string_view tokenHash, std::int64_t now) override;

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
