// orvane-signal as a program: usage and exit statuses, and an invite made
// through a running server's data directory names that server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/OrvaneServer/Child.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempDir.h"

namespace {

using orvane::test::Child;

Child orvaneSignal(std::vector<std::string> args) {
  args.insert(args.begin(), ORVANE_SIGNAL);
  return Child(std::move(args));
}

TEST(OrvaneSignal, HelpAndBadArguments) {
  for (auto args : {std::vector<std::string>{"--help"}, {"serve", "--help"}, {"invite", "-h"}}) {
    Child help = orvaneSignal(args);
    EXPECT_EQ(help.wait(5), 0);
    const auto lines = help.lines(Child::out);
    EXPECT_TRUE(!lines.empty() && lines[0].starts_with("Usage: orvane-signal")) << help.transcript();
  }
  for (auto args : {std::vector<std::string>{}, {"serve", "--port", "http"}, {"invite"}, {"frobnicate"}}) {
    Child bad = orvaneSignal(args);
    EXPECT_EQ(bad.wait(5), 2);
    const auto err = bad.lines(Child::err);
    EXPECT_TRUE(!err.empty() && (err[0].starts_with("orvane-signal: ") || err[0].starts_with("Usage:")))
        << bad.transcript();
  }
}

TEST(OrvaneSignal, ServesOnAFreePortAndInvitesThroughIt) {
  orvane::test::TempDir temp;
  const std::string dir = (temp.path / "data").string();
  Child serve = orvaneSignal({"serve", "--port", "0", "--data-dir", dir});
  const std::string prefix = "listening on http://127.0.0.1:";
  const auto first = serve.waitPrefix(Child::out, prefix, 5);
  ASSERT_TRUE(first && first->size() > prefix.size()) << serve.transcript();
  EXPECT_GT(std::stoi(first->substr(prefix.size())), 0);
  const std::string base = first->substr(13);

  Child invite = orvaneSignal({"invite", "--user", "ann", "--data-dir", dir, "--ttl", "60"});
  EXPECT_EQ(invite.wait(5), 0);
  const auto lines = invite.lines(Child::out);
  ASSERT_EQ(lines.size(), 2u) << invite.transcript();
  EXPECT_FALSE(lines[0].empty());
  EXPECT_EQ(lines[1], base + "/#invite=" + lines[0]);

  serve.signal(SIGTERM);
  EXPECT_EQ(serve.wait(5), 0);
}

TEST(OrvaneSignal, ARelaySecretOthersCanReadIsRefusedAtStart) {
  orvane::test::TempDir temp;
  const auto secret = temp.path / "turn-secret";
  std::ofstream(secret) << "north-wind\n";
  std::filesystem::permissions(secret, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                           std::filesystem::perms::others_read);
  const std::vector<std::string> args{"serve", "--port", "0", "--data-dir", (temp.path / "data").string(),
                                      "--turn", "turn:127.0.0.1:3478", "--turn-secret", secret.string()};
  Child refused = orvaneSignal(args);
  EXPECT_EQ(refused.wait(5), 1);
  const auto err = refused.lines(Child::err);
  EXPECT_TRUE(!err.empty() && err[0].find("chmod o-rw") != std::string::npos) << refused.transcript();

  std::filesystem::permissions(secret, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Child serve = orvaneSignal(args);
  EXPECT_TRUE(serve.waitPrefix(Child::out, "listening on ", 5)) << serve.transcript();
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.wait(5), 0);
}

TEST(OrvaneSignal, DatabaseUrlKeepsAccountsInPostgreSQLAndAnUnreachableOneFailsAtStart) {
  if (orvane::test::PostgresServer::binDir().empty()) GTEST_SKIP() << "PostgreSQL is not installed";
  orvane::test::PostgresServer postgres;
  const std::string url = postgres.createDatabase();
  orvane::test::TempDir temp;
  const std::string dir = (temp.path / "data").string();

  Child serve = orvaneSignal({"serve", "--port", "0", "--data-dir", dir, "--database", url});
  ASSERT_TRUE(serve.waitPrefix(Child::out, "listening on ", 10)) << serve.transcript();
  EXPECT_EQ(orvane::test::PostgresServer::query(url, "SELECT version FROM orvane_signal_version"), "1");
  EXPECT_FALSE(std::filesystem::exists(temp.path / "data" / "orvane-signal.db"));
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.wait(5), 0);

  Child unreachable = orvaneSignal({"serve", "--port", "0", "--data-dir", dir, "--database",
                                    "postgresql://orvane@127.0.0.1:1/accounts"});
  EXPECT_EQ(unreachable.wait(10), 1);
  const auto err = unreachable.lines(Child::err);
  EXPECT_TRUE(!err.empty() && err[0].find("database") != std::string::npos) << unreachable.transcript();
}

}  // namespace
