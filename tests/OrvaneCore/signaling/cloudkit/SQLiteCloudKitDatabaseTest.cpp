// The SQLite record store beyond what both stores share: rows written by others that break the format, unusable
// files, private file modes, and change notices between connections.
#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <future>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"
#include "tests/OrvaneCore/signaling/cloudkit/CloudKitTestSupport.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

using test::await;
using test::errorCode;
using test::makeRecord;
using test::orvaneZone;
using namespace std::chrono_literals;

class SQLiteCloudKitDatabaseTest : public ::testing::Test {
 protected:
  // Writes as any other program could: straight SQL, constraints off.
  void hostile(const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 2000);
    char* error = nullptr;
    const int rc = sqlite3_exec(raw, ("PRAGMA ignore_check_constraints = ON;" + sql).c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(raw);
  }
  void corrupt(const std::string& record, const std::string& key, const std::string& type, const std::string& value) {
    hostile("UPDATE fields SET type = '" + type + "', value = " + value + " WHERE key = '" + key +
            "' AND record = (SELECT seq FROM records WHERE name = '" + record + "')");
  }

  ManualExecutor exec;
  test::TempDir dir;
  std::filesystem::path file = dir.path / "sub" / "records.sqlite";
};

TEST_F(SQLiteCloudKitDatabaseTest, HostileRowsAreSkippedAsPerRecordErrors) {
  SQLiteCloudKitDatabase db(file);
  await(exec, db.saveZone(CKRecordZone{orvaneZone()}));
  const auto host = [&](const std::string& name) {
    await(exec, db.saveRecord(makeRecord("SDKHost", name, {{"hostID", name}, {"machineName", std::string("M")},
                                                           {"lastSeen", exec.wallNow()}, {"n", std::int32_t{1}}})));
  };
  for (auto name : {"good", "tag", "date", "range", "utf8", "huge", "blob"}) host(name);
  corrupt("tag", "n", "float", "1.5");
  corrupt("date", "lastSeen", "date", "'yesterday'");
  corrupt("range", "n", "int32", "1099511627776");
  corrupt("utf8", "machineName", "string", "CAST(x'C328' AS TEXT)");
  corrupt("huge", "machineName", "string", "hex(zeroblob(1048577))");
  corrupt("blob", "n", "bytes", "'abc'");

  auto result = await(exec, db.queryRecords(CKQuery{"SDKHost", CKPredicate::format("hostID != %@", {std::string()})},
                                            orvaneZone()));
  ASSERT_EQ(result.matchResults.size(), 7u);
  EXPECT_TRUE(result.matchResults[0].record());
  for (std::size_t i = 1; i < 7; ++i) {
    ASSERT_TRUE(result.matchResults[i].error()) << i;
    EXPECT_EQ(result.matchResults[i].error()->code(), CKErrorCode::internalError);
  }
  EXPECT_STREQ(result.matchResults[2].error()->what(),
               "Internal Error (1): record 'date' is unreadable: field 'lastSeen' is not stored as a date");
  EXPECT_EQ(errorCode([&] { await(exec, db.fetchRecord(CKRecordID{"huge", orvaneZone()})); }),
            CKErrorCode::internalError);

  // Discovery prints the unreadable ones and keeps the good one.
  CapturingLogSink sink;
  std::shared_ptr<CloudKitDatabaseProtocol> shared(&db, [](auto*) {});
  auto hosts = await(exec, CloudKitSignalingService::discoverHosts(shared, exec.clock(), Console(sink)));
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].id, "good");
  EXPECT_TRUE(sink.hasLine("[Orvane] discoverHosts: record utf8 fetch error: Internal Error (1): record 'utf8' is "
                           "unreadable: field 'machineName' is not UTF-8"));

  // A plain save repairs a record; a changedKeys save keeps only readable fields.
  host("date");
  EXPECT_TRUE(await(exec, db.fetchRecord(CKRecordID{"date", orvaneZone()})).date("lastSeen"));
  await(exec, db.upsert(makeRecord("SDKHost", "utf8", {{"x", std::string("y")}}), CKSavePolicy::changedKeys));
  const CKRecord merged = await(exec, db.fetchRecord(CKRecordID{"utf8", orvaneZone()}));
  EXPECT_EQ(merged.string("hostID"), "utf8");
  EXPECT_EQ(merged.string("machineName"), std::nullopt);
}

TEST_F(SQLiteCloudKitDatabaseTest, UnusableFilesFailOperationsWithoutCrashing) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << "this is not a database, just text that is long enough to have a header..........";
  SQLiteCloudKitDatabase garbage(file);
  EXPECT_EQ(errorCode([&] { await(exec, garbage.saveZone(CKRecordZone{orvaneZone()})); }), CKErrorCode::badDatabase);

  std::filesystem::remove(file);
  hostile("PRAGMA user_version = 7");
  SQLiteCloudKitDatabase future(file);
  EXPECT_EQ(errorCode([&] { await(exec, future.fetchRecord(CKRecordID{"x", orvaneZone()})); }),
            CKErrorCode::badDatabase);
}

TEST_F(SQLiteCloudKitDatabaseTest, TwoConnectionsShareTheFileAndOnlyOthersCommitsCountAsPush) {
  SQLiteCloudKitDatabase mine(file);
  SQLiteCloudKitDatabase theirs(file);
  await(exec, mine.saveZone(CKRecordZone{orvaneZone()}));
  EXPECT_EQ(test::modeOf(file), 0600u);
  EXPECT_EQ(test::modeOf(file.parent_path()), 0700u);
  EXPECT_FALSE(mine.changedByOthers());
  await(exec, theirs.saveRecord(makeRecord("T", "r", {{"a", std::string("b")}})));
  EXPECT_TRUE(mine.changedByOthers());
  EXPECT_FALSE(mine.changedByOthers());
  EXPECT_EQ(await(exec, mine.fetchRecord(CKRecordID{"r", orvaneZone()})).string("a"), "b");

  std::promise<void> pushed;
  std::atomic<int> pushes{0};
  ASSERT_TRUE(mine.watchRemoteChanges([&] {
    if (pushes++ == 0) pushed.set_value();
  }));
  await(exec, theirs.saveRecord(makeRecord("T", "r2", {})));
  EXPECT_EQ(pushed.get_future().wait_for(5s), std::future_status::ready);
}

// Another process holding the file's write lock makes a write wait (up to
// half a second), on the store's thread: the caller's executor runs on.
TEST_F(SQLiteCloudKitDatabaseTest, AWriteWaitingForABusyFileLeavesTheExecutorFree) {
  SQLiteCloudKitDatabase db(file);
  await(exec, db.saveZone(CKRecordZone{orvaneZone()}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  bool saved = false;
  TaskHandle save = spawn(exec, [&]() -> Task<void> {
    co_await db.saveRecord(makeRecord("T", "waiting", {}));
    saved = true;
  });
  int ticks = 0;
  auto tick = [&] { ++ticks; };
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    exec.post(tick);
    exec.runUntilIdle();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(ticks, 5);
  EXPECT_FALSE(saved);

  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_TRUE(exec.runUntil([&] { return saved; }, 5s));
  EXPECT_EQ(exec.stalls(), 0u);
}

TEST(CloudKitContainer, DatabasePathFollowsTheEnvironment) {
  const std::string name = "iCloud.com.kelbrin.Orvane";
  // The environment wins over the setting, which wins over the default file.
  EXPECT_EQ(cloudKitDatabasePath(name, "/shared/r.db", "/set/r.db", "/x", "/home/u"), "/shared/r.db");
  EXPECT_EQ(cloudKitDatabasePath(name, "", "/set/r.db", "/x", "/home/u"), "/set/r.db");
  EXPECT_EQ(cloudKitDatabasePath(name, "", "", "/x", "/home/u"), "/x/orvane/iCloud.com.kelbrin.Orvane.sqlite");
  EXPECT_EQ(cloudKitDatabasePath(name, nullptr, nullptr, "relative", "/home/u"),
            "/home/u/.local/share/orvane/iCloud.com.kelbrin.Orvane.sqlite");
  EXPECT_EQ(cloudKitDatabasePath(name, nullptr, nullptr, nullptr, "/home/u"),
            "/home/u/.local/share/orvane/iCloud.com.kelbrin.Orvane.sqlite");
}

}  // namespace
}  // namespace orvane
