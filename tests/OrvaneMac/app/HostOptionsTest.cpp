#include "OrvaneMac/app/HostOptions.h"

#include <gtest/gtest.h>

#include <map>

#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/app/HostSignIn.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

namespace orvane::app {
namespace {

struct Row {
  std::vector<std::string> args;
  std::string server;         // the resulting ws(s) URL, or empty when an error is expected
  std::string identityToken;  // from --invite
};

TEST(HostOptionsTest, ServerAndInviteFromArgumentsSettingsAndDefault) {
  InMemoryUserDefaults none;
  const std::vector<Row> rows = {
      {{}, "wss://signal.orvane.app", ""},
      {{"--server", "http://10.0.0.5:8080"}, "ws://10.0.0.5:8080", ""},
      {{"--server=https://pad.example/"}, "wss://pad.example", ""},
      {{"--invite", "http://10.0.0.5:8080/#invite=abc.DEF-1"}, "ws://10.0.0.5:8080", "abc.DEF-1"},
      {{"--server", "wss://other", "--invite", "http://10.0.0.5/#invite=t"}, "wss://other", "t"},
      {{"--invite", "  tok_en \n"}, "wss://signal.orvane.app", "tok_en"},
      {{"--server", "ftp://x"}, "", ""},
      {{"--server"}, "", ""},
      {{"--invite", "http://10.0.0.5/#other=t"}, "", ""},
      {{"--invite", "two words"}, "", ""},
      {{"--invite", std::string(9000, 'a')}, "", ""},
      {{"--show-popover=yes"}, "", ""},
      {{"--bogus"}, "", ""},
  };
  for (const Row& row : rows) {
    const ParsedOptions parsed = parseHostOptions(row.args, none);
    const std::string label = row.args.empty() ? "(none)" : row.args.front() + " …";
    if (row.server.empty()) {
      EXPECT_TRUE(std::holds_alternative<UsageError>(parsed)) << label;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed)) << label << ": " << std::get<UsageError>(parsed).message;
    const HostOptions& options = std::get<HostOptions>(parsed);
    EXPECT_EQ(options.server.toString(), row.server) << label;
    EXPECT_EQ(options.identityToken.value_or(""), row.identityToken) << label;
  }

  InMemoryUserDefaults stored;
  stored.set(std::string(kServerURLKey), std::string("http://lan-host:9000"));
  EXPECT_EQ(std::get<HostOptions>(parseHostOptions({}, stored)).server.toString(), "ws://lan-host:9000");
  EXPECT_TRUE(std::holds_alternative<Help>(parseHostOptions({"--help"}, none)));
  EXPECT_TRUE(std::holds_alternative<Version>(parseHostOptions({"--version"}, none)));
  EXPECT_TRUE(std::get<HostOptions>(parseHostOptions({"--show-popover"}, none)).showPopover);
}

class HostSignInTest : public ::testing::Test {
 protected:
  std::optional<std::string> token(const HostSignIn& signIn) {
    auto request = signIn.request();
    if (!request) return std::nullopt;
    return test::await(main, request());
  }
  EnvironmentLookup environmentWith(std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
      auto it = values.find(name);
      return it == values.end() ? std::nullopt : std::optional(it->second);
    };
  }

  ManualExecutor main;
  test::TempDir secrets;
  Url server = *Url::parse("ws://127.0.0.1:8080");
};

TEST_F(HostSignInTest, NothingToSignInWithLeavesNoRequestSoTheHostSaysSignInRequired) {
  HostSignIn signIn(server, std::nullopt, environmentWith({}), secrets.path);
  EXPECT_FALSE(signIn.request());

  EXPECT_FALSE(signIn.useInvite("not a token"));
  EXPECT_FALSE(signIn.request());
  EXPECT_TRUE(signIn.useInvite("http://127.0.0.1:8080/#invite=pasted"));
  EXPECT_EQ(token(signIn), "pasted");
}

TEST_F(HostSignInTest, AnInviteWinsOverTheEnvironmentAndAKeptSessionNeedsNoToken) {
  HostSignIn fromEnvironment(server, std::nullopt, environmentWith({{"ORVANE_IDENTITY_TOKEN", "from-env"}}),
                             secrets.path);
  EXPECT_EQ(token(fromEnvironment), "from-env");
  HostSignIn fromInvite(server, "invited", environmentWith({{"ORVANE_IDENTITY_TOKEN", "from-env"}}), secrets.path);
  EXPECT_EQ(token(fromInvite), "invited");

  KeychainSessionStore(std::string(kSessionKeychainService), sessionKeychainAccount(server), secrets.path)
      .setSessionToken("kept");
  HostSignIn kept(server, std::nullopt, environmentWith({}), secrets.path);
  EXPECT_TRUE(kept.request()) << "the kept session signs in; a token is asked only if it is refused";
}

}  // namespace
}  // namespace orvane::app
