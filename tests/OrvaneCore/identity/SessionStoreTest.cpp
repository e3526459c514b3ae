// The session token's file store: one private file per account, hostile names and contents.
#include <fstream>

#include "OrvaneCore/identity/SessionStore.h"
#include "tests/OrvaneCore/identity/TestSupport.h"

using namespace orvane;
using namespace orvane::testing;

namespace {

std::ptrdiff_t entries(const std::filesystem::path& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), {});
}

}  // namespace

TEST(KeychainSessionStore, KeepsOneTokenPerAccountInPrivateFiles) {
  TempDir temp;
  const auto dir = temp.path / "orvane" / "secrets";
  KeychainSessionStore a("svc", "acct-a", dir), b("svc", "acct-b", dir);
  a.setSessionToken(std::nullopt);  // nothing to delete: harmless
  EXPECT_FALSE(a.sessionToken());
  a.setSessionToken("token-a");
  b.setSessionToken("token-b");
  a.setSessionToken("token-a2");
  EXPECT_EQ(KeychainSessionStore("svc", "acct-a", dir).sessionToken(), "token-a2");
  EXPECT_EQ(test::modeOf(dir), 0700u);
  EXPECT_EQ(test::modeOf(a.itemPath()), 0600u);
  EXPECT_EQ(entries(dir), 2);  // no temporary file left behind
  a.setSessionToken(std::nullopt);
  EXPECT_FALSE(a.sessionToken());
  EXPECT_EQ(b.sessionToken(), "token-b");
}

TEST(KeychainSessionStore, HostileAccountNamesStayInsideTheDirectory) {
  TempDir temp;
  const auto dir = temp.path / "secrets";
  const std::vector<std::string> accounts = {
      "../../escape",        "/etc/passwd", "a/b", "a%2Fb", "..", ".", "", std::string("nul\0byte", 8),
      std::string(1000, 'x')};
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    KeychainSessionStore("svc", accounts[i], dir).setSessionToken("t" + std::to_string(i));
  }
  EXPECT_EQ(entries(dir), static_cast<std::ptrdiff_t>(accounts.size()));
  EXPECT_EQ(entries(temp.path), 1);
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    EXPECT_EQ(KeychainSessionStore("svc", accounts[i], dir).sessionToken(), "t" + std::to_string(i)) << i;
  }
}

TEST(KeychainSessionStore, ReadsRepairInvalidUtf8AndIgnoreEmptyOrOddItems) {
  TempDir temp;
  KeychainSessionStore store("svc", "acct", temp.path);
  const auto put = [&](const std::string& bytes) { std::ofstream(store.itemPath(), std::ios::binary) << bytes; };
  put("ab\xFF\xE2\x82x\xC3");
  EXPECT_EQ(store.sessionToken(), "ab\uFFFD\uFFFDx\uFFFD");
  put("");
  EXPECT_FALSE(store.sessionToken());
  std::filesystem::remove(store.itemPath());
  std::filesystem::create_directory(store.itemPath());
  EXPECT_FALSE(store.sessionToken());
}

TEST(KeychainSessionStore, HostItemIsPerServerUnderTheConfigDirectory) {
  EXPECT_EQ(sessionKeychainAccount(Url::parse("wss://signal.orvane.app/v1/ws").value()),
            "orvane-session-token@signal.orvane.app");
  EXPECT_EQ(sessionKeychainAccount(Url::parse("ws://[::1]:8080").value()), "orvane-session-token@::1");
  EXPECT_EQ(sessionKeychainAccount(Url{}), "orvane-session-token@default");
  const auto env = [](std::string xdg) {
    return [xdg](const std::string& name) { return std::optional<std::string>(name == "HOME" ? "/h" : xdg); };
  };
  EXPECT_EQ(defaultSecretsDirectory(env("/cfg")), "/cfg/orvane/secrets");
  EXPECT_EQ(defaultSecretsDirectory(env("relative")), "/h/.config/orvane/secrets");
}
