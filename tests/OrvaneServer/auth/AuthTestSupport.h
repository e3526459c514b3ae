#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "OrvaneCore/json/Json.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneServer/auth/Auth.h"
#include "OrvaneServer/auth/Store.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempDir.h"

namespace orvane::server::testing {

// A fresh temporary directory whose data directory proper is a child, so
// that its creation is exercised too.
struct TempDir : test::TempDir {
  std::filesystem::path data() const { return path / "data"; }
};

inline std::string exchangeBody(std::string_view identityToken, std::string_view deviceId = "dev-1",
                                std::string_view role = "mac", std::string_view deviceName = "Desk") {
  JsonWriter w;
  w.beginObject();
  for (const auto& [key, value] : {std::pair{"appleIdentityToken", identityToken}, {"deviceId", deviceId},
                                   {"role", role}, {"deviceName", deviceName}}) {
    w.key(key);
    w.string(value);
  }
  w.endObject();
  return *std::move(w).finish();
}

struct Session {
  std::string token;
  std::string userId;
};

// The session of a 200 reply; fails the test on anything else.
inline Session sessionOf(const HttpReply& reply) {
  EXPECT_EQ(reply.status, 200u) << reply.body;
  const auto parsed = parseJson(reply.body);
  const auto text = [&](std::string_view key) {
    const JsonValue* value = parsed ? parsed.value().find(key) : nullptr;
    return value != nullptr && value->asString() != nullptr ? *value->asString() : std::string();
  };
  return {text("sessionToken"), text("userId")};
}

enum class Backend { sqlite, postgres };

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::sqlite ? "SQLite" : "PostgreSQL";
}
inline void PrintTo(Backend backend, std::ostream* out) { *out << (backend == Backend::sqlite ? "SQLite" : "PostgreSQL"); }

// One PostgreSQL server for the whole test binary, started on first use
// (initdb takes seconds); null when PostgreSQL is not installed.
inline test::PostgresServer* sharedPostgres() {
  static const std::unique_ptr<test::PostgresServer> server =
      test::PostgresServer::binDir().empty() ? nullptr : std::make_unique<test::PostgresServer>();
  return server.get();
}

// Where one test's accounts live: SQLite in the data directory, or a fresh
// database of its own on the shared PostgreSQL server.
class TestDatabase {
 public:
  TestDatabase(Backend backend, std::filesystem::path dataDir) : dataDir_(std::move(dataDir)) {
    if (backend == Backend::sqlite) return;
    test::PostgresServer* server = sharedPostgres();
    missing_ = server == nullptr;
    if (server != nullptr) url_ = server->createDatabase();
  }
  bool missing() const { return missing_; }  // PostgreSQL wanted but not installed
  const std::string& url() const { return url_; }  // for AuthOptions::database

  // Row count of a table, read directly.
  long long rowCount(const std::string& table) const {
    if (!url_.empty()) return std::stoll(test::PostgresServer::query(url_, "SELECT count(*) FROM " + table));
    sqlite3* db = nullptr;
    sqlite3_open_v2((dataDir_ / kDatabaseFile).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    long long count = -1;
    sqlite3_exec(
        db, ("SELECT count(*) FROM " + table).c_str(),
        [](void* out, int, char** values, char**) { return *static_cast<long long*>(out) = std::stoll(values[0]), 0; },
        &count, nullptr);
    sqlite3_close(db);
    return count;
  }

 private:
  std::filesystem::path dataDir_;
  std::string url_;
  bool missing_ = false;
};

}  // namespace orvane::server::testing
