// The PostgreSQL record store beyond what every store shares: rows written by others that break the format,
// unusable databases, the push between two connections and its return after a server restart, and choosing the
// store from its location. Skipped when PostgreSQL is not installed.
#include "OrvaneCore/signaling/cloudkit/PostgresCloudKitDatabase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"
#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"
#include "tests/OrvaneCore/signaling/cloudkit/CloudKitTestSupport.h"
#include "tests/OrvaneCore/signaling/cloudkit/PostgresTestSupport.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

using test::await;
using test::errorCode;
using test::makeRecord;
using test::orvaneZone;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Counts the pushes a listener thread delivers and when the last one came.
class Pushes {
 public:
  std::function<void()> callback() {
    return [this] {
      std::lock_guard lock(mutex_);
      ++count_;
      last_ = SteadyClock::now();
      changed_.notify_all();
    };
  }
  // The time of the push that made the count reach `n`, or nothing by the deadline.
  std::optional<SteadyClock::time_point> waitFor(int n, std::chrono::seconds deadline = 5s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, deadline, [&] { return count_ >= n; })) return std::nullopt;
    return last_;
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  SteadyClock::time_point last_;
};

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::seconds deadline) {
  const auto until = SteadyClock::now() + deadline;
  while (!predicate()) {
    if (SteadyClock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class PostgresCloudKitDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = test::sharedPostgres();
    if (!server) GTEST_SKIP() << "PostgreSQL is not installed";
    url = server->createDatabase();
  }
  std::unique_ptr<PostgresCloudKitDatabase> open() {
    return std::make_unique<PostgresCloudKitDatabase>(test::postgresOptions(url));
  }
  // Writes as any other program could: straight SQL.
  void hostile(const std::string& sql) { test::PostgresServer::query(url, sql); }
  void corrupt(const std::string& record, const std::string& key, const std::string& set) {
    hostile("UPDATE orvane_fields SET " + set + " WHERE key = '" + key +
            "' AND record = (SELECT seq FROM orvane_records WHERE name = '" + record + "')");
  }

  ManualExecutor exec;
  test::PostgresServer* server = nullptr;
  std::string url;
};

TEST_F(PostgresCloudKitDatabaseTest, HostileRowsAreSkippedAsPerRecordErrors) {
  auto db = open();
  await(exec, db->saveZone(CKRecordZone{orvaneZone()}));
  for (auto name : {"good", "tag", "width", "range", "utf8", "huge", "notag", "longkey"}) {
    await(exec, db->saveRecord(makeRecord("SDKHost", name, {{"hostID", std::string(name)},
                                                            {"machineName", std::string("M")},
                                                            {"n", std::int32_t{1}}})));
  }
  corrupt("tag", "n", "type = 'float'");
  corrupt("width", "n", "value = '\\x0001'::bytea");
  corrupt("range", "n", "value = '\\x0000010000000000'::bytea");
  corrupt("utf8", "machineName", "value = '\\xc328'::bytea");
  corrupt("huge", "machineName", "value = decode(repeat('78', 1048577), 'hex')");
  hostile("UPDATE orvane_records SET change_tag = '' WHERE name = 'notag'");
  corrupt("longkey", "n", "key = repeat('k', 256)");
  // A name no client could use is left out of the answer.
  hostile("INSERT INTO orvane_records(zone_owner, zone_name, name, type, change_tag)"
          " SELECT zone_owner, zone_name, repeat('n', 100000), type, change_tag FROM orvane_records WHERE name = 'good'");

  auto result = await(exec, db->queryRecords(CKQuery{"SDKHost", CKPredicate::format("hostID != %@", {std::string()})},
                                             orvaneZone()));
  ASSERT_EQ(result.matchResults.size(), 8u);
  EXPECT_TRUE(result.matchResults[0].record());
  for (std::size_t i = 1; i < 8; ++i) {
    ASSERT_TRUE(result.matchResults[i].error()) << i;
    EXPECT_EQ(result.matchResults[i].error()->code(), CKErrorCode::internalError) << i;
  }
  EXPECT_STREQ(result.matchResults[2].error()->what(),
               "Internal Error (1): record 'width' is unreadable: field 'n' is not stored as a int32");
  EXPECT_EQ(errorCode([&] { await(exec, db->fetchRecord(CKRecordID{"huge", orvaneZone()})); }),
            CKErrorCode::internalError);

  // A changedKeys save keeps only the readable fields and repairs the record.
  await(exec, db->upsert(makeRecord("SDKHost", "utf8", {{"x", std::string("y")}}), CKSavePolicy::changedKeys));
  const CKRecord merged = await(exec, db->fetchRecord(CKRecordID{"utf8", orvaneZone()}));
  EXPECT_EQ(merged.string("hostID"), "utf8");
  EXPECT_EQ(merged.string("machineName"), std::nullopt);
}

TEST_F(PostgresCloudKitDatabaseTest, UnusableDatabasesFailOperationsWithTypedErrors) {
  // Nothing listens there: every operation says so, none hangs.
  PostgresCloudKitDatabase nowhere(test::postgresOptions("postgresql://orvane@127.0.0.1:1/none"));
  EXPECT_EQ(errorCode([&] { await(exec, nowhere.saveZone(CKRecordZone{orvaneZone()})); }),
            CKErrorCode::serviceUnavailable);

  // A schema from a later version is refused, not written to.
  await(exec, open()->saveZone(CKRecordZone{orvaneZone()}));
  hostile("UPDATE orvane_records_version SET version = 7");
  EXPECT_EQ(errorCode([&] { await(exec, open()->fetchRecord(CKRecordID{"x", orvaneZone()})); }),
            CKErrorCode::badDatabase);

  // Our version row over tables that are not ours.
  url = server->createDatabase();
  hostile("CREATE TABLE orvane_records_version(version INTEGER); INSERT INTO orvane_records_version VALUES(1);"
          "CREATE TABLE orvane_records(seq BIGINT)");
  EXPECT_EQ(errorCode([&] { await(exec, open()->saveZone(CKRecordZone{orvaneZone()})); }), CKErrorCode::badDatabase);
}

TEST_F(PostgresCloudKitDatabaseTest, PushReachesTheOtherConnectionOnlyForItsWrites) {
  auto writer = open();
  auto reader = open();
  await(exec, writer->saveZone(CKRecordZone{orvaneZone()}));
  Pushes pushes;
  reader->watchRemoteChanges(pushes.callback());
  ASSERT_TRUE(pushes.waitFor(1)) << "no catch-up after connecting";

  // The reader's own write is no news; the writer's next one is.
  await(exec, reader->saveRecord(makeRecord("T", "own", {})));
  await(exec, writer->saveRecord(makeRecord("T", "theirs", {})));
  ASSERT_TRUE(pushes.waitFor(2));
  std::this_thread::sleep_for(50ms);  // room for a wrong extra push to show
  EXPECT_EQ(pushes.count(), 2);

  // A write that fails (rolled back) pushes nothing either.
  EXPECT_EQ(errorCode([&] { await(exec, writer->saveRecord(makeRecord("T", "r", {}, CKRecordZoneID{"None"}))); }),
            CKErrorCode::zoneNotFound);

  std::vector<double> millis;
  for (int i = 0; i < 20; ++i) {
    const auto start = SteadyClock::now();
    await(exec, writer->saveRecord(makeRecord("T", "r" + std::to_string(i), {{"i", std::int32_t{i}}})));
    const auto delivered = pushes.waitFor(3 + i);
    ASSERT_TRUE(delivered) << i;
    millis.push_back(std::chrono::duration<double, std::milli>(*delivered - start).count());
  }
  EXPECT_EQ(pushes.count(), 22);
  std::sort(millis.begin(), millis.end());
  const std::string figures = "save-to-push ms over 20 saves: min " + std::to_string(millis.front()) + ", median " +
                              std::to_string(millis[10]) + ", max " + std::to_string(millis.back());
  RecordProperty("push_delivery", figures);
  std::printf("%s\n", figures.c_str());
}

TEST_F(PostgresCloudKitDatabaseTest, AfterAServerRestartTheListenerReconnectsAndCatchesUp) {
  auto writer = open();
  auto reader = open();
  await(exec, writer->saveZone(CKRecordZone{orvaneZone()}));
  Pushes pushes;
  reader->watchRemoteChanges(pushes.callback());
  ASSERT_TRUE(pushes.waitFor(1));
  EXPECT_EQ(reader->listenerConnections(), 1);

  server->stop();
  // The writer's connection is gone: a typed failure, not a hang or a crash.
  EXPECT_EQ(errorCode([&] { await(exec, writer->saveRecord(makeRecord("T", "lost", {}))); }),
            CKErrorCode::serviceUnavailable);
  const auto restarted = SteadyClock::now();
  server->start();

  ASSERT_TRUE(eventually([&] { return reader->listenerConnections() == 2; }, 20s));
  const auto caughtUp = pushes.waitFor(2);
  ASSERT_TRUE(caughtUp) << "no catch-up after reconnecting";
  std::printf("listener back %.0f ms after the server started again\n",
              std::chrono::duration<double, std::milli>(*caughtUp - restarted).count());

  // The writer reconnects on its next operation and the push flows again.
  await(exec, writer->saveRecord(makeRecord("T", "after", {})));
  EXPECT_TRUE(pushes.waitFor(3));
  EXPECT_EQ(await(exec, reader->fetchRecord(CKRecordID{"after", orvaneZone()})).recordType(), "T");
}

TEST(RecordStoreLocation, AURLChoosesPostgresAndAnythingElseAFile) {
  EXPECT_TRUE(isPostgresRecordStore("postgresql://u@db.example:5432/orvane"));
  EXPECT_TRUE(isPostgresRecordStore("postgres://db/orvane"));
  EXPECT_FALSE(isPostgresRecordStore("/var/lib/orvane/postgresql://x"));
  EXPECT_FALSE(isPostgresRecordStore("records.sqlite"));
  EXPECT_EQ(cloudKitDatabasePath("c", nullptr, "postgresql://db/orvane", "/x", "/home/u"), "postgresql://db/orvane");

  test::TempDir dir;
  EXPECT_TRUE(std::dynamic_pointer_cast<SQLiteCloudKitDatabase>(openRecordStore(dir.path / "r.sqlite", nullptr)));
  // Opening never blocks on the server, even one that is not there.
  EXPECT_TRUE(std::dynamic_pointer_cast<PostgresCloudKitDatabase>(
      openRecordStore("postgresql://orvane@127.0.0.1:1/none", std::make_shared<NotificationCenter>())));
}

}  // namespace
}  // namespace orvane
