// The behaviour every database shares: each case runs on the in-memory one, on
// a SQLite file and on a PostgreSQL database (skipped when it is not installed).
#include <gtest/gtest.h>

#include "OrvaneCore/signaling/cloudkit/InMemoryCloudKitDatabase.h"
#include "OrvaneCore/signaling/cloudkit/PostgresCloudKitDatabase.h"
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

struct InMemory {
  bool available() { return true; }
  std::shared_ptr<CloudKitDatabaseProtocol> open() { return std::make_shared<InMemoryCloudKitDatabase>(); }
};

struct SQLite {
  test::TempDir dir;
  bool available() { return true; }
  std::shared_ptr<CloudKitDatabaseProtocol> open() {
    return std::make_shared<SQLiteCloudKitDatabase>(dir.path / "r.sqlite");
  }
};

// A fresh database on the shared server for every test.
struct Postgres {
  bool available() { return test::sharedPostgres() != nullptr; }
  std::shared_ptr<CloudKitDatabaseProtocol> open() {
    return std::make_shared<PostgresCloudKitDatabase>(test::postgresOptions(test::sharedPostgres()->createDatabase()));
  }
};

template <typename Backend>
class CloudKitDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!backend.available()) GTEST_SKIP() << "PostgreSQL is not installed";
    db = backend.open();
    await(exec, db->saveZone(CKRecordZone{orvaneZone()}));
  }

  CKRecord save(CKRecord record) { return await(exec, db->saveRecord(std::move(record))); }
  CKRecord fetch(const std::string& name) { return await(exec, db->fetchRecord(CKRecordID{name, orvaneZone()})); }
  std::vector<std::string> names(const std::string& type, const std::string& format, std::vector<CKValue> args) {
    auto result = await(exec, db->queryRecords(CKQuery{type, CKPredicate::format(format, std::move(args))}, orvaneZone()));
    std::vector<std::string> out;
    for (const auto& match : result.matchResults) out.push_back(match.recordID.recordName);
    return out;
  }

  ManualExecutor exec;
  Backend backend;
  std::shared_ptr<CloudKitDatabaseProtocol> db;
};

using Backends = ::testing::Types<InMemory, SQLite, Postgres>;
TYPED_TEST_SUITE(CloudKitDatabaseTest, Backends);

TYPED_TEST(CloudKitDatabaseTest, FieldsKeepTheirTypesAndEverySaveGetsAFreshTag) {
  const WallTime when = WallTime(std::chrono::nanoseconds(1767225600123456789));
  const auto first = this->save(makeRecord("T", "r", {{"s", std::string()},
                                                      {"i", std::int32_t{-7}},
                                                      {"l", std::int64_t{1} << 40},
                                                      {"d", when},
                                                      {"b", CKBytes{}},
                                                      {"b2", CKBytes{0, 255}}}));
  const CKRecord fetched = this->fetch("r");
  EXPECT_EQ(fetched.recordType(), "T");
  EXPECT_EQ(fetched.fields(), first.fields());
  EXPECT_EQ(fetched.string("s"), "");
  EXPECT_EQ(fetched.int32("i"), -7);
  EXPECT_EQ(fetched.date("d"), when);  // nanoseconds survive
  EXPECT_EQ(fetched.int64("i"), std::nullopt);  // a 32-bit field is not read as 64-bit
  EXPECT_EQ(fetched.string("d"), std::nullopt);
  EXPECT_TRUE(fetched.changedKeys().empty());
  ASSERT_TRUE(first.recordChangeTag());
  EXPECT_EQ(fetched.recordChangeTag(), first.recordChangeTag());
  EXPECT_NE(this->save(fetched).recordChangeTag(), first.recordChangeTag());
}

TYPED_TEST(CloudKitDatabaseTest, SavePolicies) {
  auto& exec = this->exec;
  auto& db = this->db;
  this->save(makeRecord("SDKSession", "s", {{"offerSDP", std::string()}, {"answerSDP", std::string("A")}}));

  // changedKeys writes only what was set (and removes what was set to nothing).
  CKRecord offer = makeRecord("SDKSession", "s", {{"offerSDP", std::string("O")}});
  offer.set("gone", std::nullopt);
  await(exec, db->upsert(offer, CKSavePolicy::changedKeys));
  EXPECT_EQ(this->fetch("s").string("answerSDP"), "A");
  EXPECT_EQ(this->fetch("s").string("offerSDP"), "O");
  // ... and creates a missing record.
  await(exec, db->upsert(makeRecord("SDKSession", "new", {{"answerSDP", std::string("B")}}), CKSavePolicy::changedKeys));
  EXPECT_EQ(this->fetch("new").fields().size(), 1u);
  // A record of another type is not merged into.
  EXPECT_EQ(errorCode([&] { await(exec, db->upsert(makeRecord("SDKHost", "s", {}), CKSavePolicy::changedKeys)); }),
            CKErrorCode::invalidArguments);

  // The plain save replaces every field.
  this->save(makeRecord("SDKSession", "s", {{"sessionID", std::string("s")}}));
  EXPECT_EQ(this->fetch("s").fields().size(), 1u);

  // ifServerRecordUnchanged needs the stored tag.
  CKRecord stale = this->fetch("s");
  this->save(this->fetch("s"));
  stale.set("x", std::string("y"));
  EXPECT_EQ(errorCode([&] { await(exec, db->upsert(stale, CKSavePolicy::ifServerRecordUnchanged)); }),
            CKErrorCode::serverRecordChanged);
  CKRecord current = this->fetch("s");
  current.set("x", std::string("y"));
  EXPECT_EQ(await(exec, db->upsert(current, CKSavePolicy::ifServerRecordUnchanged)).string("x"), "y");
}

TYPED_TEST(CloudKitDatabaseTest, QueriesMatchTypedValuesInCreationOrder) {
  this->save(makeRecord("ICECandidate", "c1", {{"sessionID", std::string("S")}, {"fromRole", std::string("pad")}}));
  this->save(makeRecord("ICECandidate", "c2", {{"sessionID", std::string("S")}, {"fromRole", std::string("mac")}}));
  this->save(makeRecord("ICECandidate", "c3", {{"sessionID", std::string("T")}, {"fromRole", std::string("pad")}}));
  this->save(makeRecord("ICECandidate", "c0", {{"sessionID", std::string("S")}, {"fromRole", std::string("pad")}}));
  this->save(makeRecord("SDKSession", "x", {{"sessionID", std::string("S")}}));
  this->save(this->fetch("c1"));  // saving again keeps its place

  EXPECT_EQ(this->names("ICECandidate", "sessionID == %@ AND fromRole == %@", {std::string("S"), std::string("pad")}),
            (std::vector<std::string>{"c1", "c0"}));
  EXPECT_EQ(this->names("ICECandidate", "sessionID == %@", {std::string("S")}),
            (std::vector<std::string>{"c1", "c2", "c0"}));

  // "!=" takes records whose field is missing or of another type.
  this->save(makeRecord("SDKHost", "h1", {{"hostID", std::string("A")}}));
  this->save(makeRecord("SDKHost", "h2", {}));
  this->save(makeRecord("SDKHost", "h3", {{"hostID", std::int32_t{5}}}));
  this->save(makeRecord("SDKHost", "h4", {{"hostID", std::string()}}));
  EXPECT_EQ(this->names("SDKHost", "hostID != %@", {std::string()}), (std::vector<std::string>{"h1", "h2", "h3"}));
  EXPECT_EQ(this->names("SDKHost", "hostID == %@", {std::string("5")}), std::vector<std::string>{});
  EXPECT_EQ(this->names("SDKHost", "hostID == %@", {std::int32_t{5}}), std::vector<std::string>{"h3"});
}

TYPED_TEST(CloudKitDatabaseTest, FailuresAreCloudKitErrors) {
  auto& exec = this->exec;
  auto& db = this->db;
  const CKRecordID missing{"nope", orvaneZone()};
  EXPECT_EQ(errorCode([&] { await(exec, db->fetchRecord(missing)); }), CKErrorCode::unknownItem);
  EXPECT_EQ(errorCode([&] { await(exec, db->deleteRecord(missing)); }), CKErrorCode::unknownItem);
  EXPECT_EQ(errorCode([&] { this->save(makeRecord("T", "r", {}, CKRecordZoneID{"Other"})); }), CKErrorCode::zoneNotFound);
  EXPECT_EQ(errorCode([&] { this->save(makeRecord("T", "", {})); }), CKErrorCode::invalidArguments);
  EXPECT_EQ(errorCode([&] { this->save(makeRecord("T", "r", {{"s", std::string("\xC3\x28")}})); }),
            CKErrorCode::invalidArguments);
  EXPECT_EQ(errorCode([&] { this->save(makeRecord("T", "r", {{"s", std::string(kMaxRecordBytes, 'x')}})); }),
            CKErrorCode::limitExceeded);
  EXPECT_EQ(errorCode([&] { CKPredicate::format("a == %@ OR b == %@", {std::string(), std::string()}); }),
            CKErrorCode::invalidArguments);
  EXPECT_EQ(errorCode([&] { CKPredicate::format("a == %@", {}); }), CKErrorCode::invalidArguments);
  this->save(makeRecord("T", "r", {}));
  await(exec, db->deleteRecord(CKRecordID{"r", orvaneZone()}));
  EXPECT_EQ(errorCode([&] { this->fetch("r"); }), CKErrorCode::unknownItem);
}

TYPED_TEST(CloudKitDatabaseTest, QueryAnswersAtMostOneBatchWithACursor) {
  for (std::size_t i = 0; i <= kMaxQueryResults; ++i) this->save(makeRecord("T", "r" + std::to_string(i), {}));
  auto result = await(this->exec, this->db->queryRecords(CKQuery{"T", CKPredicate::format("TRUEPREDICATE", {})},
                                                         orvaneZone()));
  EXPECT_EQ(result.matchResults.size(), kMaxQueryResults);
  EXPECT_EQ(result.matchResults.back().recordID.recordName, "r399");
  EXPECT_TRUE(result.cursor);
}

}  // namespace
}  // namespace orvane
