// The server's request rules without a socket: WebSocket credentials, static file resolution, command line.
#include <gtest/gtest.h>

#include <fstream>

#include "OrvaneServer/Cli.h"
#include "OrvaneServer/WebRules.h"
#include "tests/support/TempDir.h"

using namespace orvane::server;
namespace fs = std::filesystem;

TEST(WsCredentials, HeaderFirstThenBearerSubprotocolAndTheTokenIsNotEchoedWhenAvoidable) {
  auto both = readWsCredentials("", "orvane.v1, bearer.tok-1");
  EXPECT_EQ(both.token, "tok-1");
  EXPECT_EQ(both.subprotocol, "orvane.v1");
  auto onlyBearer = readWsCredentials("", "bearer.tok-1");
  EXPECT_EQ(onlyBearer.token, "tok-1");
  EXPECT_EQ(onlyBearer.subprotocol, "bearer.tok-1");  // a browser needs one selected
  auto header = readWsCredentials("bearer  tok-2 ", "bearer.tok-1,orvane.v1");
  EXPECT_EQ(header.token, "tok-2");
  EXPECT_EQ(header.subprotocol, "orvane.v1");
  EXPECT_EQ(readWsCredentials("Bearer tok-3", "").subprotocol, "");
  for (auto [auth, offered] : {std::pair{"Basic abc", ""}, {"Bearer ", "bearer."}, {"", "chat, orvane.v1"}}) {
    EXPECT_FALSE(readWsCredentials(auth, offered).token) << auth << offered;
  }
}

TEST(StaticFiles, ServesOnlyRegularFilesInsideTheRoot) {
  orvane::test::TempDir temp;
  const fs::path base = temp.path;
  fs::create_directories(base / "root/js");
  fs::create_directories(base / "root/empty");
  for (auto f : {"root/index.html", "root/js/app.js", "root/.env", "secret.txt"}) std::ofstream(base / f) << f;
  fs::create_symlink(base / "secret.txt", base / "root/escape.txt");
  fs::create_symlink(base / "root/js/app.js", base / "root/alias.js");
  fs::path root = fs::canonical(base / "root");

  EXPECT_EQ(resolveStaticFile(root, "/"), root / "index.html");
  EXPECT_EQ(resolveStaticFile(root, "/js//app.js?v=2#x"), root / "js/app.js");
  EXPECT_EQ(resolveStaticFile(root, "/%6As/app.js"), root / "js/app.js");
  EXPECT_EQ(resolveStaticFile(root, "/alias.js"), root / "js/app.js");
  for (auto bad : {"/../secret.txt", "/js/../../secret.txt", "/%2e%2e/secret.txt", "/js%2f..%2f..%2fsecret.txt",
                   "/..%5csecret.txt", "/escape.txt", "/.env", "/index.html%00.js", "/%zz", "js/app.js", "/empty",
                   "/missing.html"}) {
    EXPECT_FALSE(resolveStaticFile(root, bad)) << bad;
  }
  EXPECT_EQ(contentType("a/INDEX.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(contentType("app.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(contentType("blob"), "application/octet-stream");
}

TEST(CommandLine, ParsesServeAndInviteWithTheirDefaults) {
  cli::Environment env{"/xdg", "/home/u"};
  auto serve = std::get<cli::ServeArgs>(cli::parse({"serve"}, env));
  EXPECT_EQ(serve.bind, "127.0.0.1");
  EXPECT_EQ(serve.port, 8080);
  EXPECT_EQ(serve.dataDir, "/xdg/orvane-signal");
  EXPECT_EQ(serve.auth, IdentityMode::local);
  EXPECT_EQ(serve.database, "");  // SQLite in the data directory
  EXPECT_EQ(std::get<cli::ServeArgs>(cli::parse({"serve", "--database=postgres://u@db/accounts"}, env)).database,
            "postgres://u@db/accounts");
  serve = std::get<cli::ServeArgs>(cli::parse({"serve", "--port=0", "--bind", "::", "--auth", "apple", "--audience",
                                               "app", "--jwks", "k.json", "--tls-cert", "c", "--tls-key", "k"},
                                              {"relative", "/home/u"}));
  EXPECT_EQ(serve.port, 0);
  EXPECT_EQ(serve.dataDir, "/home/u/.local/share/orvane-signal");  // a relative XDG_DATA_HOME is ignored
  EXPECT_EQ(serve.auth, IdentityMode::apple);
  EXPECT_EQ(serve.tlsKey, "k");
  auto invite =
      std::get<cli::InviteArgs>(cli::parse({"invite", "--user", "ann", "--ttl", "60", "--data-dir", "d"}, env));
  EXPECT_EQ(invite.user, "ann");
  EXPECT_EQ(invite.ttl.count(), 60);
  EXPECT_EQ(invite.dataDir, "d");

  EXPECT_FALSE(std::get<cli::Help>(cli::parse({"--help"}, env)).isError);
  EXPECT_TRUE(std::get<cli::Help>(cli::parse({}, env)).isError);
  EXPECT_NE(std::get<cli::Help>(cli::parse({"invite", "-h"}, env)).text.find("--ttl"), std::string::npos);
}

TEST(CommandLine, RejectsWhatItCannotHonour) {
  const std::vector<std::vector<std::string>> bad = {
      {"launch"}, {"serve", "--port", "65536"}, {"serve", "--port", "-1"}, {"serve", "--port"},
      {"serve", "--bind", "example.org"}, {"serve", "--auth", "oauth"}, {"serve", "--auth", "apple", "--jwks", "k"},
      {"serve", "--audience", "a"}, {"serve", "--tls-cert", "c"}, {"serve", "--port", "1", "--port", "2"},
      {"serve", "--user", "x"}, {"invite"}, {"invite", "--user", "a", "--ttl", "0"},
      {"invite", "--user", "a", "--ttl", "86401"}, {"invite", "--user="}, {"serve", "--database", "accounts.db"},
      {"serve", "--database", "mysql://db/accounts"}, {"invite", "--user", "a", "--database", "postgresql://db"}};
  for (const auto& args : bad) EXPECT_TRUE(std::holds_alternative<cli::UsageError>(cli::parse(args, {"/x", "/h"})));
  EXPECT_TRUE(std::holds_alternative<cli::UsageError>(cli::parse({"serve"}, {})));  // no data directory
}
