#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "OrvaneCore/json/Json.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneServer/auth/Auth.h"
#include "OrvaneServer/auth/Store.h"
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

// Row count of a table in the data directory's database, read directly.
inline long long rowCount(const std::filesystem::path& dataDir, const std::string& table) {
  sqlite3* db = nullptr;
  sqlite3_open_v2((dataDir / kDatabaseFile).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  long long count = -1;
  sqlite3_exec(
      db, ("SELECT count(*) FROM " + table).c_str(),
      [](void* out, int, char** values, char**) { return *static_cast<long long*>(out) = std::stoll(values[0]), 0; },
      &count, nullptr);
  sqlite3_close(db);
  return count;
}

}  // namespace orvane::server::testing
