// Every store killed mid-write, again and again: what a writer leaves behind
// is the state before or after its last write, and the next writer goes on
// from there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"
#include "OrvaneMac/platform/linux/JsonFileUserDefaults.h"
#include "OrvaneServer/auth/Store.h"
#include "tests/OrvaneCore/signaling/cloudkit/CloudKitTestSupport.h"
#include "tests/crash/KillLoop.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

constexpr int kKills = 40;

// Values of varying length, so a torn write cannot pass for a whole one.
std::string payload(std::int64_t i) {
  return "value-" + std::to_string(i) + ":" + std::string(static_cast<std::size_t>(i * 131 % 3000), 'a' + i % 26);
}

// The last write at or before `state` to slot `slot` of `slots`; 0 = none.
std::int64_t lastWriteTo(std::int64_t slot, std::int64_t slots, std::int64_t state) {
  if (state < 1) return 0;
  const std::int64_t back = ((state - slot) % slots + slots) % slots;
  return state - back >= 1 ? state - back : 0;
}

void expectClean(const test::KillLoop::Outcome& outcome) {
  EXPECT_EQ(outcome.failure, "");
  EXPECT_EQ(outcome.kills, kKills);
  EXPECT_GE(outcome.writes, kKills / 2) << "the writers hardly wrote";
  std::printf("%d kills, %d with the in-flight write landed, %lld writes survived\n", outcome.kills,
              outcome.caughtInFlight, static_cast<long long>(outcome.writes));
}

std::size_t leftoversBeside(const std::filesystem::path& dir, std::size_t keep) {
  const auto count = static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
  return count - keep;
}

// Write i stores payload(i) under key "k<i % 3>", or removes it when i % 5 == 0.
TEST(StoreCrash, SettingsFileHoldsTheOldOrTheNewObject) {
  test::TempDir dir;
  const auto file = dir.path / "config" / "defaults.json";
  test::KillLoop loop(1301);
  const auto outcome = loop.run(
      kKills,
      [&](std::int64_t first, const auto& published) {
        JsonFileUserDefaults defaults(file);
        for (std::int64_t i = first;; ++i) {
          const std::string key = "k" + std::to_string(i % 3);
          if (i % 5 == 0) {
            defaults.remove(key);
          } else {
            defaults.set(key, payload(i));
          }
          published(i);
        }
      },
      [&](std::int64_t state) {
        JsonFileUserDefaults defaults(file);
        if (defaults.fileState() != JsonFileUserDefaults::FileState::usable &&
            defaults.fileState() != JsonFileUserDefaults::FileState::missing) {
          return false;
        }
        for (std::int64_t slot = 0; slot < 3; ++slot) {
          const std::int64_t last = lastWriteTo(slot, 3, state);
          const auto stored = defaults.string("k" + std::to_string(slot));
          const auto expected = last == 0 || last % 5 == 0 ? std::nullopt : std::optional(payload(last));
          if (stored != expected) return false;
        }
        return true;
      });
  expectClean(outcome);
  JsonFileUserDefaults defaults(file);
  defaults.set("after", true);
  EXPECT_EQ(defaults.boolean("after"), true);
  EXPECT_EQ(leftoversBeside(file.parent_path(), 1), 0u) << "killed writers' temporary files pile up";
}

// Write i stores payload(i) as the token, or removes it when i % 4 == 0.
TEST(StoreCrash, SessionTokenFileHoldsTheOldOrTheNewToken) {
  test::TempDir dir;
  const auto secrets = dir.path / "secrets";
  test::KillLoop loop(1302);
  const auto outcome = loop.run(
      kKills,
      [&](std::int64_t first, const auto& published) {
        KeychainSessionStore store("svc", "acct", secrets);
        for (std::int64_t i = first;; ++i) {
          store.setSessionToken(i % 4 == 0 ? std::nullopt : std::optional(payload(i)));
          published(i);
        }
      },
      [&](std::int64_t state) {
        const auto expected = state == 0 || state % 4 == 0 ? std::nullopt : std::optional(payload(state));
        return KeychainSessionStore("svc", "acct", secrets).sessionToken() == expected;
      });
  expectClean(outcome);
  KeychainSessionStore store("svc", "acct", secrets);
  store.setSessionToken("after");
  EXPECT_EQ(store.sessionToken(), "after");
  EXPECT_EQ(leftoversBeside(secrets, 1), 0u) << "killed writers' temporary files pile up";
}

// Write i gives the pad of one user a session with token hash "hash-<i>"
// (consuming invite "jti-<i>"), except that every fifth write deletes the
// account through the previous session.
TEST(StoreCrash, AccountStoreHoldsTheOldOrTheNewSessions) {
  test::TempDir dir;
  const auto file = dir.path / server::kDatabaseFile;
  const auto hash = [](std::int64_t i) { return "hash-" + std::to_string(i); };
  test::KillLoop loop(1303);
  const auto outcome = loop.run(
      kKills,
      [&](std::int64_t first, const auto& published) {
        server::Store store(file);
        for (std::int64_t i = first;; ++i) {
          if (i % 5 == 0) {
            store.deleteAccount(hash(i - 1), 1000 + i);
          } else {
            const std::string jti = "jti-" + std::to_string(i), token = hash(i), name = payload(i);
            store.issueSession({.issuer = "local", .subject = "alice", .jti = jti, .jtiExpires = 1'000'000,
                                .tokenHash = token, .deviceId = "pad-1", .role = "pad", .deviceName = name,
                                .now = 1000 + i});
          }
          published(i);
        }
      },
      [&](std::int64_t state) {
        server::Store store(file);
        const auto current = store.findSession(hash(state));
        const auto previous = store.findSession(hash(state - 1));
        if (previous) return false;  // replaced by the next session or deleted with the account
        if (state == 0 || state % 5 == 0) return !current;
        return current && current->deviceId == "pad-1" && current->role == "pad" && current->deviceName == payload(state);
      });
  expectClean(outcome);
  server::Store store(file);
  EXPECT_TRUE(store.issueSession({.issuer = "local", .subject = "bob", .jti = "", .jtiExpires = 0, .tokenHash = "after", .deviceId = "mac-1",
                                  .role = "mac", .deviceName = "m", .now = 5000}));
  EXPECT_TRUE(store.findSession("after"));
}

// Write i saves record "r<i % 3>" with fields made from i, or deletes it
// when i % 7 == 0.
TEST(StoreCrash, RecordStoreHoldsTheOldOrTheNewRecords) {
  test::TempDir dir;
  const auto file = dir.path / "records.sqlite";
  const auto record = [](std::int64_t i) {
    return test::makeRecord("Crash", "r" + std::to_string(i % 3),
                            {{"i", i}, {"text", payload(i)}, {"bytes", CKBytes(static_cast<std::size_t>(i % 50), 7)}});
  };
  {
    ManualExecutor exec;
    SQLiteCloudKitDatabase db(file);
    test::await(exec, db.saveZone(CKRecordZone{test::orvaneZone()}));
  }
  test::KillLoop loop(1304);
  const auto outcome = loop.run(
      kKills,
      [&](std::int64_t first, const auto& published) {
        ManualExecutor exec;
        SQLiteCloudKitDatabase db(file);
        for (std::int64_t i = first;; ++i) {
          if (i % 7 == 0) {
            try {
              test::await(exec, db.deleteRecord(CKRecordID{"r" + std::to_string(i % 3), test::orvaneZone()}));
            } catch (const CloudKitError& e) {
              if (e.code() != CKErrorCode::unknownItem) throw;
            }
          } else {
            test::await(exec, db.saveRecord(record(i)));
          }
          published(i);
        }
      },
      [&](std::int64_t state) {
        ManualExecutor exec;
        SQLiteCloudKitDatabase db(file);
        for (std::int64_t slot = 0; slot < 3; ++slot) {
          const std::int64_t last = lastWriteTo(slot, 3, state);
          std::optional<CKRecord> stored;
          try {
            stored = test::await(exec, db.fetchRecord(CKRecordID{"r" + std::to_string(slot), test::orvaneZone()}));
          } catch (const CloudKitError& e) {
            if (e.code() != CKErrorCode::unknownItem) return false;
          }
          if (last == 0 || last % 7 == 0) {
            if (stored) return false;
          } else if (!stored || stored->fields() != record(last).fields()) {
            return false;
          }
        }
        return true;
      });
  expectClean(outcome);
  ManualExecutor exec;
  SQLiteCloudKitDatabase db(file);
  test::await(exec, db.saveRecord(test::makeRecord("Crash", "after", {{"x", std::string("y")}})));
  EXPECT_EQ(test::await(exec, db.fetchRecord(CKRecordID{"after", test::orvaneZone()})).string("x"), "y");
}

}  // namespace
}  // namespace orvane
