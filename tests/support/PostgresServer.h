#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace orvane::test {

// A throwaway PostgreSQL server: a cluster made by initdb in a temporary
// directory, serving 127.0.0.1 on a free port, stopped and removed with this
// object. As root it runs as `nobody` (PostgreSQL refuses root). Dies with
// the test process.
class PostgresServer {
 public:
  // Where initdb and postgres are ($ORVANE_POSTGRES_BIN when set, else
  // Debian's place); empty when PostgreSQL is not installed.
  static std::filesystem::path binDir();

  PostgresServer();  // throws std::runtime_error with the server's log when it cannot start
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  void stop();   // fast shutdown: clients are disconnected
  void start();  // the same cluster again, on the same port

  std::string url(const std::string& database = "postgres") const;
  // A new empty database; its URL.
  std::string createDatabase();
  // Runs `sql` on the database at `url`; the first value of its first row ("" when none).
  static std::string query(const std::string& url, const std::string& sql);

 private:
  pid_t run(const std::vector<std::string>& args);  // as the cluster's owner, output to the log
  std::string logTail() const;

  TempDir dir_;
  std::filesystem::path bin_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  int databases_ = 0;
};

}  // namespace orvane::test
