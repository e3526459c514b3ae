// The PostgreSQL store where it differs from SQLite: instances sharing one database, a server that goes away
// and comes back, and databases that are not ours.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/auth/PostgresStore.h"
#include "tests/OrvaneServer/auth/AuthTestSupport.h"

namespace orvane::server::testing {
namespace {

using Kind = StoreError::Kind;

class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::PostgresServer::binDir().empty()) GTEST_SKIP() << "PostgreSQL is not installed";
  }
  std::unique_ptr<PostgresStore> open(const std::string& url) {
    PostgresOptions options;
    options.url = url;
    options.connectTimeout = std::chrono::seconds(2);
    options.clock = &clock_;
    return std::make_unique<PostgresStore>(std::move(options));
  }
  static AccountStore::Grant grant(std::string_view subject, std::string_view jti, std::string_view hash,
                                   std::string_view device) {
    return {"orvane-signal", subject, jti, 2'000'000'000, hash, device, "pad", "Pad", 1'000'000'000};
  }
  // The kind of StoreError `fn` threw; nothing when it threw none.
  template <typename Fn>
  static std::optional<Kind> errorOf(Fn&& fn) {
    try {
      fn();
    } catch (const StoreError& e) {
      return e.kind();
    }
    return std::nullopt;
  }

  ManualClock clock_;
};

TEST_F(PostgresStoreTest, TwoInstancesRacingConsumeAnInviteOnceAndDeleteAnAccountOnce) {
  const std::string url = sharedPostgres()->createDatabase();
  const auto first = open(url);
  const auto second = open(url);
  constexpr int kRounds = 40;
  int doubleWins = 0;
  int noWins = 0;
  std::atomic<int> errors = 0;
  std::set<std::string> users;
  for (int round = 0; round < kRounds; ++round) {
    const std::string jti = "jti-" + std::to_string(round);
    // Odd rounds: no invite, a new subject on both sides, so the user itself is created by two instances at once.
    const bool invite = round % 2 == 0;
    const std::string subject = invite ? "alice" : "subject-" + std::to_string(round);
    std::optional<std::string> results[2];
    std::latch ready(2);
    const auto race = [&](AccountStore& store, int side) {
      const std::string hash = "hash-" + std::to_string(round) + "-" + std::to_string(side);
      const std::string device = "device-" + std::to_string(side);
      ready.arrive_and_wait();
      try {
        results[side] = store.issueSession(grant(subject, invite ? jti : "", hash, device));
      } catch (const std::exception& e) {
        ++errors;
        ADD_FAILURE() << "round " << round << ": " << e.what();
      }
    };
    std::thread a(race, std::ref(*first), 0);
    std::thread b(race, std::ref(*second), 1);
    a.join();
    b.join();
    if (invite) {
      doubleWins += results[0] && results[1];
      noWins += !results[0] && !results[1];
      users.insert(results[0] ? *results[0] : results[1].value_or(""));
    } else if (results[0] && results[1]) {
      EXPECT_EQ(*results[0], *results[1]) << "two users for one subject in round " << round;
    }
  }
  ASSERT_EQ(errors, 0);
  EXPECT_EQ(doubleWins, 0);
  EXPECT_EQ(noWins, 0);
  EXPECT_EQ(users.size(), 1u);  // every invite joined the one "alice"
  EXPECT_EQ(test::PostgresServer::query(url, "SELECT count(*) FROM used_invites"), std::to_string(kRounds / 2));
  EXPECT_EQ(test::PostgresServer::query(url, "SELECT count(*) FROM users"), std::to_string(1 + kRounds / 2));

  // Both instances asked to delete one account: one deletes it, the other finds it already gone.
  for (int round = 0; round < kRounds / 2; ++round) {
    const std::string hash = "doomed-" + std::to_string(round);
    ASSERT_TRUE(first->issueSession(grant("doomed-" + std::to_string(round), "", hash, "pad")));
    AccountStore::Deletion outcomes[2];
    std::latch ready(2);
    const auto race = [&](AccountStore& store, int side) {
      ready.arrive_and_wait();
      outcomes[side] = store.deleteAccount(hash, 1'000'000'000).outcome;
    };
    std::thread a(race, std::ref(*first), 0);
    std::thread b(race, std::ref(*second), 1);
    a.join();
    b.join();
    const std::multiset<AccountStore::Deletion> got(std::begin(outcomes), std::end(outcomes));
    EXPECT_EQ(got, (std::multiset{AccountStore::Deletion::deleted, AccountStore::Deletion::alreadyGone}))
        << "round " << round;
  }
}

TEST_F(PostgresStoreTest, ServerRestartFailsTheCallTypedAndALaterCallRecovers) {
  test::PostgresServer server;
  const std::string url = server.createDatabase();
  const auto store = open(url);
  ASSERT_TRUE(store->issueSession(grant("alice", "", "before", "pad-1")));

  server.stop();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf([&] { store->findSession("before"); }), Kind::unavailable);
  EXPECT_EQ(errorOf([&] { store->issueSession(grant("alice", "jti-1", "during", "pad-2")); }), Kind::unavailable);
  const double failSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(failSeconds, 3.0);  // failed, not hung
  std::printf("calls with the server down failed in %.3f s\n", failSeconds);

  server.start();
  // Still inside the back-off after the failed reconnect: fails fast without trying.
  EXPECT_EQ(errorOf([&] { store->findSession("before"); }), Kind::unavailable);
  clock_.advance(Seconds(1));
  const auto found = store->findSession("before");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->deviceId, "pad-1");
  // The invite of the failed call was not consumed: it still works, once.
  EXPECT_TRUE(store->issueSession(grant("alice", "jti-1", "during", "pad-2")));
  EXPECT_FALSE(store->issueSession(grant("alice", "jti-1", "again", "pad-3")));
  EXPECT_EQ(store->deleteAccount("during", 1'000'000'100).outcome, AccountStore::Deletion::deleted);

  // Back before the next call: that call fails on the old connection, the one after it reconnects at once.
  server.stop();
  server.start();
  EXPECT_EQ(errorOf([&] { store->findSession("before"); }), Kind::unavailable);
  EXPECT_EQ(store->deleteAccount("during", 1'000'000'200).outcome, AccountStore::Deletion::alreadyGone);
}

// An outage is not a verdict: no 401 for a token that may be valid, and a 503 the client retries.
TEST_F(PostgresStoreTest, AccountsAnswer503AndHandshakesThrowWhileTheDatabaseIsDown) {
  test::PostgresServer server;
  TempDir dir;
  CapturingLogSink logs;
  const auto auth = makeAuth({dir.data(), IdentityMode::local, "", "", &clock_, &logs, server.createDatabase()});
  const auto invite = [&] { return makeInvite({dir.data(), "alice", std::chrono::seconds(600), &clock_}); };
  const Session session = sessionOf(auth->exchange(exchangeBody(invite())));
  const std::string second = invite();

  server.stop();
  EXPECT_THROW(auth->authenticate(session.token), StoreError);
  EXPECT_EQ(auth->exchange(exchangeBody(second, "host-2")).status, 503u);
  EXPECT_EQ(auth->deleteAccount("Bearer " + session.token).status, 503u);

  server.start();
  clock_.advance(Seconds(30));
  EXPECT_TRUE(auth->authenticate(session.token));
  EXPECT_EQ(auth->exchange(exchangeBody(second, "host-2")).status, 200u);  // the failed call left it unused
}

TEST_F(PostgresStoreTest, ForeignOrNewerSchemasAreRefusedAndLeftUnchanged) {
  test::PostgresServer& server = *sharedPostgres();
  const auto refusal = [&](const std::vector<std::string>& setup) {
    const std::string url = server.createDatabase();
    for (const std::string& sql : setup) test::PostgresServer::query(url, sql);
    const std::string before =
        test::PostgresServer::query(url, "SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables "
                                          "WHERE schemaname = 'public'");
    const std::optional<Kind> kind = errorOf([&] { open(url); });
    EXPECT_EQ(before, test::PostgresServer::query(url, "SELECT string_agg(tablename, ',' ORDER BY tablename) "
                                                       "FROM pg_tables WHERE schemaname = 'public'"));
    return kind;
  };
  const std::string ours = sharedPostgres()->createDatabase();
  open(ours);
  const std::string schema = test::PostgresServer::query(
      ours, "SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables WHERE schemaname = 'public'");
  EXPECT_EQ(schema, "orvane_signal_version,revoked_sessions,sessions,used_invites,users");
  EXPECT_EQ(errorOf([&] { open(ours); }), std::nullopt);  // reopening our own is fine

  EXPECT_EQ(refusal({"CREATE TABLE notes(id INTEGER)"}), Kind::foreignSchema);
  EXPECT_EQ(refusal({"CREATE TABLE users(name TEXT)"}), Kind::foreignSchema);
  EXPECT_EQ(refusal({"CREATE TABLE orvane_signal_version(version INTEGER)"}), Kind::foreignSchema);
  EXPECT_EQ(refusal({"CREATE TABLE orvane_signal_version(version INTEGER)",
                     "INSERT INTO orvane_signal_version VALUES(1)", "CREATE TABLE users(name TEXT)"}),
            Kind::foreignSchema);
  EXPECT_EQ(refusal({"CREATE TABLE orvane_signal_version(version INTEGER)",
                     "INSERT INTO orvane_signal_version VALUES(2)"}),
            Kind::newerVersion);

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf([&] { open("postgresql://orvane@127.0.0.1:1/postgres"); }), Kind::cannotOpen);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// Neither a server that accepts but never answers nor a lock held elsewhere can hold a call for ever.
TEST_F(PostgresStoreTest, StalledServerAndHeldLocksFailWithinTheirTimeouts) {
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf([&] { open("postgresql://orvane@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x"); }),
            Kind::cannotOpen);
  const double connectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ::close(silent);
  EXPECT_LT(connectSeconds, 4.0);
  std::printf("a silent server was given up after %.2f s\n", connectSeconds);

  const std::string url = sharedPostgres()->createDatabase();
  PostgresOptions options;
  options.url = url;
  options.statementTimeout = std::chrono::milliseconds(300);
  options.clock = &clock_;
  PostgresStore store(std::move(options));
  PGconn* holder = PQconnectdb(url.c_str());
  PQclear(PQexec(holder, "BEGIN; LOCK TABLE used_invites IN ACCESS EXCLUSIVE MODE"));
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf([&] { store.issueSession(grant("alice", "jti-1", "h1", "pad-1")); }), Kind::unavailable);
  const double lockSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(lockSeconds, 3.0);
  std::printf("a call behind a held lock failed after %.2f s\n", lockSeconds);
  PQfinish(holder);  // releases the lock
  EXPECT_TRUE(store.issueSession(grant("alice", "jti-1", "h1", "pad-1")));  // reconnects at once
}

// Binary parameters: text is never cut at a NUL byte, which would fold two subjects into one account.
TEST_F(PostgresStoreTest, TextWithANulByteIsRefusedNotTruncated) {
  const auto store = open(sharedPostgres()->createDatabase());
  const std::optional<std::string> alice = store->issueSession(grant("alice", "", "h1", "pad-1"));
  ASSERT_TRUE(alice);
  EXPECT_THROW(store->issueSession(grant(std::string_view("alice\0evil", 10), "", "h2", "pad-2")), std::runtime_error);
  EXPECT_FALSE(store->findSession("h2"));
  EXPECT_EQ(store->issueSession(grant("alice", "", "h3", "pad-3")), alice);  // the connection is still usable
}

}  // namespace
}  // namespace orvane::server::testing
