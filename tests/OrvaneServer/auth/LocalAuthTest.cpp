// Local accounts: invites, sessions per device, forged or malformed requests refused without a trace in the
// store, account deletion, and the data directory's files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <limits>
#include <set>
#include <thread>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/auth/Jws.h"
#include "OrvaneServer/auth/LocalKey.h"
#include "tests/OrvaneServer/auth/AuthTestSupport.h"

namespace orvane::server::testing {
namespace {

constexpr std::int64_t kNow = 1767225600;  // ManualClock's start

class LocalAuthTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (db_.missing()) GTEST_SKIP() << "PostgreSQL is not installed";
    auth_ = makeAuth(options());
  }
  AuthOptions options() { return options(dir_.data()); }
  AuthOptions options(const std::filesystem::path& dataDir) {
    return {dataDir, IdentityMode::local, "", "", &clock_, &logs_, db_.url()};
  }

  std::string invite(const std::string& user, std::chrono::seconds ttl = std::chrono::seconds(600)) {
    return makeInvite({dir_.data(), user, ttl, &clock_});
  }
  Session signIn(const std::string& user, const std::string& deviceId, const std::string& role = "mac") {
    return sessionOf(auth_->exchange(exchangeBody(invite(user), deviceId, role)));
  }
  void expectNotLogged(const std::string& secret) {
    for (const std::string& message : logs_.messages()) EXPECT_EQ(message.find(secret), std::string::npos) << message;
  }

  TempDir dir_;
  TestDatabase db_{GetParam(), dir_.data()};
  ManualClock clock_;
  CapturingLogSink logs_;
  std::unique_ptr<Auth> auth_;
};

TEST_P(LocalAuthTest, InvitesForOneNameJoinOneUserAndEachDeviceKeepsOneSession) {
  const Session mac = signIn("alice", "host-1", "mac");
  const Session pad = signIn("alice", "pad-1", "pad");
  const Session bob = signIn("bob", "host-2");
  ASSERT_FALSE(mac.userId.empty());
  EXPECT_EQ(pad.userId, mac.userId);
  EXPECT_NE(bob.userId, mac.userId);
  EXPECT_EQ(mac.token.size(), 43u);  // 32 random bytes, base64url

  const auto identity = auth_->authenticate(pad.token);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->userId, mac.userId);
  EXPECT_EQ(identity->deviceId, "pad-1");
  EXPECT_EQ(identity->role, "pad");
  EXPECT_EQ(identity->deviceName, "Desk");
  EXPECT_FALSE(auth_->authenticate(mac.token.substr(0, 42) + (mac.token[42] == 'A' ? "E" : "A")));
  EXPECT_FALSE(auth_->authenticate(""));

  // The same device signing in again retires its older token.
  const Session again = signIn("alice", "host-1");
  EXPECT_FALSE(auth_->authenticate(mac.token));
  EXPECT_TRUE(auth_->authenticate(again.token));
  EXPECT_TRUE(auth_->authenticate(pad.token));
  EXPECT_EQ(db_.rowCount("sessions"), 3);

  // A restart keeps accounts, sessions and the signing key.
  auth_.reset();
  const std::string early = invite("alice");
  auth_ = makeAuth(options());
  EXPECT_TRUE(auth_->authenticate(pad.token));
  EXPECT_EQ(sessionOf(auth_->exchange(exchangeBody(early, "host-3"))).userId, mac.userId);

  for (const Session& s : {mac, pad, bob, again}) expectNotLogged(s.token);
}

TEST_P(LocalAuthTest, InvitesAreOneTimeAndShortLived) {
  const std::string once = invite("alice");
  EXPECT_EQ(auth_->exchange(exchangeBody(once, "host-1")).status, 200u);
  EXPECT_EQ(auth_->exchange(exchangeBody(once, "host-2")).status, 401u);

  const std::string late = invite("alice", std::chrono::seconds(300));
  clock_.advance(Seconds(300 + 61));
  EXPECT_EQ(auth_->exchange(exchangeBody(late, "host-3")).status, 401u);

  EXPECT_THROW(invite("alice", std::chrono::seconds(0)), std::runtime_error);
  EXPECT_THROW(invite("alice", kMaxInviteTtl + std::chrono::seconds(1)), std::runtime_error);
  EXPECT_THROW(invite(""), std::runtime_error);
  EXPECT_THROW(invite("bad\nname"), std::runtime_error);
  EXPECT_THROW(invite("\xff\xfe"), std::runtime_error);
  expectNotLogged(once.substr(once.rfind('.') + 1));
}

// Tokens the server's own key signed but that must still fail a claim check,
// and tokens that were altered or signed by someone else.
TEST_P(LocalAuthTest, ForgedOrMisdirectedIdentityTokensAre401AndStoreNothing) {
  const LocalKey key = loadOrCreateLocalKey(dir_.data());
  struct Fields {
    std::string alg = "ES256";
    std::string kid{};  // empty: the server's
    std::string iss = "orvane-signal";
    std::string aud = R"("orvane")";  // raw JSON
    std::int64_t iat = kNow;
    std::int64_t exp = kNow + 600;
    std::string jti = R"(,"jti":"j-1")";
    std::string sub = "alice";
  };
  const auto sign = [&](const Fields& f) {
    const std::string header =
        R"({"alg":")" + f.alg + R"(","typ":"JWT","kid":")" + (f.kid.empty() ? key.kid : f.kid) + R"("})";
    const std::string payload = R"({"iss":")" + f.iss + R"(","aud":)" + f.aud + R"(,"sub":")" + f.sub +
                                R"(","iat":)" + std::to_string(f.iat) + R"(,"exp":)" + std::to_string(f.exp) + f.jti +
                                "}";
    return *jws::signCompact(jws::Alg::ES256, key.key.get(), header, payload);
  };
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const std::string genuine = sign({});
  const std::string head = genuine.substr(0, genuine.find('.'));
  const std::string sig = genuine.substr(genuine.rfind('.') + 1);
  const std::string other = invite("bob");
  TempDir elsewhere;

  const std::vector<std::string> tokens = {
      sign({.alg = "none"}), sign({.alg = "HS256"}), sign({.alg = "RS256"}), sign({.alg = "es256"}),
      sign({.kid = "someone-else"}), sign({.iss = "https://appleid.apple.com"}), sign({.aud = R"("orvane-x")"}),
      sign({.aud = R"(["a","b"])"}), sign({.aud = "7"}), sign({.iat = kNow - 700, .exp = kNow - 61}),
      sign({.iat = kNow + 3600, .exp = kNow + 4000}), sign({.exp = kNow + 2 * 86400}), sign({.iat = kMin, .exp = kMax}),
      sign({.jti = ""}), sign({.jti = R"(,"jti":7)"}), sign({.sub = ""}),
      head + "." + other.substr(other.find('.') + 1, other.rfind('.') - other.find('.') - 1) + "." + sig,
      genuine + "=", genuine + ".x", genuine.substr(0, genuine.rfind('.') + 1),
      R"(eyJhbGciOiJub25lIn0.)" + other.substr(other.find('.') + 1, other.rfind('.') - other.find('.')),
      makeInvite({elsewhere.data(), "alice", std::chrono::seconds(600), &clock_}), std::string(17000, 'A'), ""};
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_EQ(auth_->exchange(exchangeBody(tokens[i])).status, 401u) << "case " << i;
  }
  for (std::size_t i = 0; i < genuine.size(); ++i) {  // any one character changed
    std::string altered = genuine;
    if (altered[i] == '.') continue;
    altered[i] = altered[i] == 'A' ? 'B' : 'A';
    EXPECT_EQ(auth_->exchange(exchangeBody(altered)).status, 401u) << "position " << i;
  }
  for (const char* table : {"users", "sessions", "used_invites"}) EXPECT_EQ(db_.rowCount(table), 0) << table;
  EXPECT_EQ(auth_->exchange(exchangeBody(genuine)).status, 200u);  // the control: only the alterations failed
}

TEST_P(LocalAuthTest, MalformedBodiesAre400AndLeaveTheInviteUnused) {
  const std::string token = invite("alice");
  const std::string quoted = "\"" + token + "\"";
  const std::vector<std::string> bodies = {
      "", "[]", "{", "null", exchangeBody(token).substr(1),
      R"({"appleIdentityToken":)" + quoted + R"(,"deviceId":"d","role":"mac"})",
      R"({"appleIdentityToken":)" + quoted + R"(,"deviceId":"d","role":"mac","deviceName":"n","extra":"x"})",
      R"({"appleIdentityToken":)" + quoted + R"(,"deviceId":5,"role":"mac","deviceName":"n"})",
      R"({"appleIdentityToken":)" + quoted + R"(,"deviceId":"d","role":"mac","deviceName":null})",
      exchangeBody(token, "d", "admin"), exchangeBody(token, "d", "Mac"), exchangeBody(token, ""),
      exchangeBody(token, std::string(257, 'd')), exchangeBody(token, "d", "pad", "two\nlines"),
      exchangeBody(token, "d", "mac", std::string(kMaxAuthRequestBytes, 'n'))};
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_EQ(auth_->exchange(bodies[i]).status, 400u) << "case " << i;
  }
  EXPECT_EQ(db_.rowCount("used_invites"), 0);
  EXPECT_EQ(auth_->exchange(exchangeBody(token, std::string(256, 'd'), "pad", "")).status, 200u);
  expectNotLogged(token.substr(token.rfind('.') + 1));
}

TEST_P(LocalAuthTest, DeleteAccountRevokesEveryDeviceOfTheUserOnly) {
  const Session mac = signIn("alice", "host-1");
  const Session pad = signIn("alice", "pad-1", "pad");
  const Session bob = signIn("bob", "host-2");
  std::vector<std::string> revoked;
  auth_->onUserRevoked = [&](const std::string& userId) {
    revoked.push_back(userId);
    EXPECT_TRUE(auth_->authenticate(bob.token));  // calling back in must not deadlock
  };

  // Malformed headers, then a well-formed token never issued.
  for (const std::string& header :
       std::vector<std::string>{"", "Bearer", "Basic " + mac.token, "Bearer " + mac.token + " x", "Bearer" + mac.token,
                                "Bearer " + mac.token.substr(1), "Bearer " + std::string(43, 'A')}) {
    EXPECT_EQ(auth_->deleteAccount(header).status, 401u) << header;
  }
  EXPECT_TRUE(revoked.empty());

  const HttpReply deleted = auth_->deleteAccount("  bEaReR  " + mac.token + " ");
  EXPECT_EQ(deleted.status, 200u);
  EXPECT_EQ(deleted.body, "{}");
  EXPECT_EQ(revoked, std::vector<std::string>{mac.userId});
  EXPECT_FALSE(auth_->authenticate(mac.token));
  EXPECT_FALSE(auth_->authenticate(pad.token));
  EXPECT_TRUE(auth_->authenticate(bob.token));

  // Tokens of the deleted account: "already gone", which the clients count as done.
  EXPECT_EQ(auth_->deleteAccount("Bearer " + mac.token).status, 404u);
  EXPECT_EQ(auth_->deleteAccount("Bearer " + pad.token).status, 404u);
  EXPECT_EQ(revoked.size(), 1u);
  EXPECT_NE(signIn("alice", "host-1").userId, mac.userId);  // a new account, not the old one
}

TEST_P(LocalAuthTest, FilesArePrivateAndRacingProcessesShareOneKey) {
  signIn("alice", "host-1");
  EXPECT_EQ(test::modeOf(dir_.data()), 0700u);
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.data())) {
    files.insert(entry.path().filename());
    EXPECT_EQ(test::modeOf(entry.path()), 0600u) << entry.path();
  }
  if (GetParam() == Backend::sqlite) {
    EXPECT_EQ(files, (std::set<std::string>{"orvane-signal.db", "orvane-signal.db-shm", "orvane-signal.db-wal",
                                            "signing-key.pem"}));
  } else {
    EXPECT_EQ(files, std::set<std::string>{"signing-key.pem"});  // no SQLite file beside a PostgreSQL store
  }

  ::chmod((dir_.data() / kSigningKeyFile).c_str(), 0644);
  EXPECT_THROW(makeInvite({dir_.data(), "alice", std::chrono::seconds(600), &clock_}), std::runtime_error);
  EXPECT_THROW(makeAuth(options()), std::runtime_error);

  TempDir fresh;
  std::vector<std::string> invites(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < invites.size(); ++i) {
    threads.emplace_back([&, i] { invites[i] = makeInvite({fresh.data(), "carol", std::chrono::seconds(600), &clock_}); });
  }
  for (std::thread& t : threads) t.join();
  const auto auth = makeAuth(options(fresh.data()));
  threads.clear();
  std::vector<Session> sessions(invites.size());
  for (std::size_t i = 0; i < invites.size(); ++i) {
    threads.emplace_back([&, i] {
      sessions[i] = sessionOf(auth->exchange(exchangeBody(invites[i], "dev-" + std::to_string(i))));
      EXPECT_TRUE(auth->authenticate(sessions[i].token));
    });
  }
  for (std::thread& t : threads) t.join();
  for (const Session& s : sessions) EXPECT_EQ(s.userId, sessions[0].userId);
  for (const auto& entry : std::filesystem::directory_iterator(fresh.data())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
  }

  { std::ofstream(fresh.data() / "file") << "x"; }
  EXPECT_THROW(makeAuth(options(fresh.data() / "file")), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(Stores, LocalAuthTest, ::testing::Values(Backend::sqlite, Backend::postgres), backendName);

}  // namespace
}  // namespace orvane::server::testing
