#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "OrvaneServer/auth/AccountStore.h"

typedef struct pg_conn PGconn;

namespace orvane {
class Clock;
}

namespace orvane::server {

struct PostgresOptions {
  std::string url;  // postgresql://... or a key=value connection string
  std::chrono::seconds connectTimeout{5};
  std::chrono::milliseconds statementTimeout{5000};
  // After a failed reconnect, calls fail fast for this long, doubling up to
  // maxBackoff; the first reconnect after a loss is immediate.
  std::chrono::milliseconds firstBackoff{250};
  std::chrono::milliseconds maxBackoff{10000};
  const Clock* clock = nullptr;  // not owned; null: the system clock
};

// Accounts and sessions in a PostgreSQL database shared by several
// orvane-signal instances. The constructor connects and creates the schema
// if the database is empty (StoreError: cannotOpen, foreignSchema,
// newerVersion). A call that loses the connection throws
// StoreError(unavailable); the next call reconnects.
class PostgresStore final : public AccountStore {
 public:
  explicit PostgresStore(PostgresOptions options);
  ~PostgresStore() override;
  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

  std::optional<std::string> issueSession(const Grant& grant) override;
  std::optional<SessionIdentity> findSession(std::string_view tokenHash) override;
  DeleteResult deleteAccount(std::string_view tokenHash, std::int64_t now) override;

 private:
  struct CloseConn {
    void operator()(PGconn* conn) const;
  };
  class Query;

  PGconn* connection();
  void connect();
  void checkSchema();
  void prepareStatements();
  void execute(const char* sql);
  std::string scalar(const char* sql);  // the first value of the first row, "" when none or NULL
  [[noreturn]] void fail(const std::string& what, std::string_view sqlstate);
  template <typename Fn>
  auto inTransaction(Fn&& fn);

  PostgresOptions options_;
  const Clock& clock_;
  std::unique_ptr<PGconn, CloseConn> conn_;
  double retryAt_ = 0;  // clock uptime before which no reconnect is tried
  std::chrono::milliseconds backoff_{0};
};

}  // namespace orvane::server
