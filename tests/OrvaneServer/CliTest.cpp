// orvane-signal as a program: usage and exit statuses, and an invite made
// through a running server's data directory names that server.
#include <gtest/gtest.h>

#include "tests/OrvaneServer/Child.h"
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

}  // namespace
