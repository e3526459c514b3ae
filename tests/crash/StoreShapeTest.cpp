// Files of the wrong shape where a store expects its own: each store says
// what is wrong with a typed error and leaves the file as it was.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"
#include "OrvaneMac/platform/linux/JsonFileUserDefaults.h"
#include "OrvaneServer/auth/Store.h"
#include "tests/OrvaneCore/signaling/cloudkit/CloudKitTestSupport.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeRaw(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void sql(const fs::path& file, const std::string& statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// What a partial copy or a full disk can leave of a file.
void truncateToHalf(const fs::path& file) {
  fs::resize_file(file, fs::file_size(file) / 2);
}

struct Shape {
  const char* name;
  std::function<void(const fs::path&)> make;
};

// The SQLite-file shapes both databases must refuse; `ours` fills a file as the store would.
std::vector<Shape> sqliteShapes(std::function<void(const fs::path&)> ours) {
  return {
      {"garbage", [](const fs::path& f) { writeRaw(f, std::string(5000, '\x5a') + "not a database"); }},
      {"text", [](const fs::path& f) { writeRaw(f, "{\"json\": true}\n"); }},
      {"truncated", [ours](const fs::path& f) { ours(f); truncateToHalf(f); }},
      {"other schema", [](const fs::path& f) { sql(f, "CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);"
                                                      "INSERT INTO notes(body) VALUES('keep me');"); }},
      {"other schema, our version", [](const fs::path& f) { sql(f, "CREATE TABLE notes(body TEXT);"
                                                                   "PRAGMA user_version = 1;"); }},
  };
}

TEST(StoreShape, AccountStoreRefusesOtherFilesAndLeavesThemAlone) {
  const auto fill = [](const fs::path& file) {
    server::Store store(file);
    for (int i = 0; i < 40; ++i) {
      const std::string hash = "hash-" + std::to_string(i), subject = "user-" + std::to_string(i);
      store.issueSession({.issuer = "local", .subject = subject, .jti = "", .jtiExpires = 0, .tokenHash = hash, .deviceId = "d", .role = "pad",
                          .deviceName = std::string(2000, 'n'), .now = i});
    }
  };
  const std::map<std::string, server::StoreError::Kind> expected = {
      {"garbage", server::StoreError::Kind::notADatabase},
      {"text", server::StoreError::Kind::notADatabase},
      {"truncated", server::StoreError::Kind::corrupt},
      {"other schema", server::StoreError::Kind::foreignSchema},
      {"other schema, our version", server::StoreError::Kind::foreignSchema},
  };
  for (const auto& shape : sqliteShapes(fill)) {
    test::TempDir dir;
    const auto file = dir.path / server::kDatabaseFile;
    shape.make(file);
    const std::string before = contents(file);
    std::optional<server::StoreError::Kind> kind;
    try {
      server::Store store(file);
    } catch (const server::StoreError& e) {
      kind = e.kind();
    }
    EXPECT_EQ(kind, expected.at(shape.name)) << shape.name;
    EXPECT_TRUE(contents(file) == before) << shape.name << ": the refused file changed";
  }
}

TEST(StoreShape, RecordStoreRefusesOtherFilesAndLeavesThemAlone) {
  const auto fill = [](const fs::path& file) {
    ManualExecutor exec;
    SQLiteCloudKitDatabase db(file);
    test::await(exec, db.saveZone(CKRecordZone{test::orvaneZone()}));
    for (int i = 0; i < 100; ++i) {
      test::await(exec, db.saveRecord(test::makeRecord("T", "r" + std::to_string(i), {{"s", std::string(500, 'x')}})));
    }
  };
  for (const auto& shape : sqliteShapes(fill)) {
    test::TempDir dir;
    const auto file = dir.path / "records.sqlite";
    shape.make(file);
    const std::string before = contents(file);
    ManualExecutor exec;
    SQLiteCloudKitDatabase db(file);
    EXPECT_EQ(test::errorCode([&] { test::await(exec, db.saveZone(CKRecordZone{test::orvaneZone()})); }),
              CKErrorCode::badDatabase)
        << shape.name;
    EXPECT_TRUE(contents(file) == before) << shape.name << ": the refused file changed";
  }
}

TEST(StoreShape, SettingsFileThatIsNotAnObjectIsMovedAsideBeforeTheNextWrite) {
  using State = JsonFileUserDefaults::FileState;
  const std::vector<std::pair<std::string, State>> shapes = {
      {"\x89PNG\r\n\x1a\n garbage", State::notJson},
      {"{\"theme\": \"dark\", \"volu", State::notJson},  // truncated
      {"[\"a\", \"list\"]", State::notAnObject},
      {std::string(JsonFileUserDefaults::kMaxFileBytes + 1, ' '), State::tooLarge},
  };
  for (const auto& [bytes, state] : shapes) {
    test::TempDir dir;
    const auto file = dir.path / "orvane" / "defaults.json";
    writeRaw(file, bytes);
    JsonFileUserDefaults defaults(file);
    EXPECT_EQ(defaults.fileState(), state);
    EXPECT_EQ(defaults.value("theme"), std::nullopt);
    defaults.remove("theme");
    EXPECT_EQ(contents(file), bytes) << "a removal from nothing must not rewrite the file";

    defaults.set("fresh", true);
    EXPECT_EQ(defaults.fileState(), State::usable);
    EXPECT_EQ(defaults.boolean("fresh"), true);
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
      if (entry.path() != file) aside.push_back(entry.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(aside[0].filename().string().starts_with("defaults.json.unusable-")) << aside[0];
    EXPECT_EQ(contents(aside[0]), bytes) << "the user's file is kept as it was";
  }

  test::TempDir dir;
  const auto file = dir.path / "defaults.json";
  fs::create_directories(file / "inside");
  JsonFileUserDefaults defaults(file);
  EXPECT_EQ(defaults.fileState(), State::notAFile);
  defaults.set("k", true);
  EXPECT_TRUE(fs::is_directory(file / "inside"));
}

TEST(StoreShape, SessionTokenItemsOfTheWrongShapeReadAsTypedNothing) {
  using State = KeychainSessionStore::ItemState;
  test::TempDir dir;
  KeychainSessionStore store("svc", "acct", dir.path / "secrets");
  EXPECT_EQ(store.readItem().state, State::none);
  writeRaw(store.itemPath(), std::string(KeychainSessionStore::kMaxItemBytes + 1, 't'));
  EXPECT_EQ(store.readItem().state, State::tooLarge);
  EXPECT_EQ(store.sessionToken(), std::nullopt);

  fs::remove(store.itemPath());
  fs::create_directory_symlink(dir.path, store.itemPath());
  EXPECT_EQ(store.readItem().state, State::notAFile);
  fs::remove(store.itemPath());
  fs::create_directory(store.itemPath());
  EXPECT_EQ(store.readItem().state, State::notAFile);

  fs::remove(store.itemPath());
  store.setSessionToken("token");
  EXPECT_EQ(store.readItem().state, State::found);
  EXPECT_EQ(store.readItem().token, "token");
}

}  // namespace
}  // namespace orvane
