// Relay credentials as coturn's shared-secret mode checks them, the secret
// file's rules, and the serve options that configure them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "OrvaneServer/Cli.h"
#include "OrvaneServer/TurnCredentials.h"
#include "tests/support/TempDir.h"

using namespace orvane;
using namespace orvane::server;

namespace {

TEST(TurnCredentials, MatchTheSharedSecretScheme) {
  // Made by hand: printf '%s' '1700000000:ann' | openssl dgst -sha1 -hmac north-wind -binary | base64
  EXPECT_EQ(turnPassword("north-wind", "1700000000:ann"), "ARjkERj/JJ2hxMpHRrF/UTllt7k=");
  EXPECT_EQ(turnPassword("k", ""), "OoSiGO5mZSCbtw6EUl3YN2RaGWU=");
  EXPECT_EQ(turnCredentials({"turn:a:3478"}, "north-wind", "ann", 1700000000),
            (IceServerInfo{{"turn:a:3478"}, "1700000000:ann", "ARjkERj/JJ2hxMpHRrF/UTllt7k="}));

  auto issuer =
      makeTurnIssuer({{"turn:a:3478?transport=udp", "turns:a:5349"}, "north-wind", std::chrono::seconds(600)});
  ASSERT_TRUE(issuer);
  auto issued = issuer("ann", 1699999400);
  ASSERT_TRUE(issued);
  EXPECT_EQ(issued->issuedAt, 1699999400);
  EXPECT_EQ(issued->expiresAt, 1700000000);
  ASSERT_EQ(issued->servers.size(), 1U);
  EXPECT_EQ(issued->servers[0].credential, "ARjkERj/JJ2hxMpHRrF/UTllt7k=");
  // Each user's password differs: one device cannot speak as another user.
  EXPECT_NE(issuer("bob", 1699999400)->servers[0].credential, issued->servers[0].credential);
  EXPECT_FALSE(makeTurnIssuer({{}, "s", std::chrono::seconds(600)}));
  EXPECT_FALSE(makeTurnIssuer({{"turn:a"}, "", std::chrono::seconds(600)}));
}

TEST(TurnCredentials, SecretFileMustBePrivateAndOneLine) {
  test::TempDir dir;
  auto write = [&](const std::string& name, const std::string& text, mode_t mode) {
    const auto path = dir.path / name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  };
  auto read = [](const std::filesystem::path& path) { return readTurnSecret(path); };
  auto message = [](const std::variant<std::string, SecretFileError>& r) {
    return std::holds_alternative<SecretFileError>(r) ? std::get<SecretFileError>(r).message : "(read)";
  };

  EXPECT_EQ(std::get<std::string>(read(write("ok", "s3cret \r\nsecond line\n", 0600))), "s3cret");

  const auto open = write("open", "s3cret\n", 0644);
  EXPECT_NE(message(read(open)).find("chmod o-rw " + open.string()), std::string::npos) << message(read(open));
  EXPECT_NE(message(read(write("writable", "s", 0602))).find("every user"), std::string::npos);
  EXPECT_NE(message(read(write("empty", "\n", 0600))).find("is empty"), std::string::npos);
  EXPECT_NE(message(read(write("long", std::string(kMaxTurnSecretBytes + 1, 'x'), 0600))).find("longer"),
            std::string::npos);
  EXPECT_NE(message(read(dir.path)).find("not a regular file"), std::string::npos);
  EXPECT_NE(message(read(dir.path / "missing")).find("cannot open"), std::string::npos);
}

TEST(TurnCredentials, ServeOptions) {
  const cli::Environment env{std::nullopt, "/home/u"};
  auto serve = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    return cli::parse(args, env);
  };
  auto plain = std::get<cli::ServeArgs>(serve({}));
  EXPECT_TRUE(plain.turnUrls.empty());
  EXPECT_EQ(plain.turnTtl, kDefaultTurnTtl);

  auto relays = std::get<cli::ServeArgs>(serve({"--turn", "turn:r:3478?transport=udp", "--turn-secret", "/etc/s",
                                                "--turn=turns:r:5349", "--turn-ttl", "3600"}));
  EXPECT_EQ(relays.turnUrls, (std::vector<std::string>{"turn:r:3478?transport=udp", "turns:r:5349"}));
  EXPECT_EQ(relays.turnSecret, "/etc/s");
  EXPECT_EQ(relays.turnTtl, std::chrono::seconds(3600));

  const std::vector<std::vector<std::string>> bad{
      {"--turn", "turn:r"},                                               // no secret
      {"--turn-secret", "/etc/s"},                                        // no relay
      {"--turn", "stun:r", "--turn-secret", "/s"},                        // not a relay
      {"--turn", "turn:r x", "--turn-secret", "/s"},                      // would not survive the welcome
      {"--turn", "turn:r", "--turn-secret", "/s", "--turn-ttl", "59"},    // renewed more than every 30 s
      {"--turn", "turn:r", "--turn-secret", "/s", "--turn-secret", "/t"},
  };
  for (const auto& args : bad) {
    EXPECT_TRUE(std::holds_alternative<cli::UsageError>(serve(args))) << args[0] << " " << args[1];
  }
}

}  // namespace
