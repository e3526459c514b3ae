// The client's session token: reused, renewed by signing in, kept on failure, and account deletion's retry.
#include <deque>

#include "OrvaneCore/identity/AuthManager.h"
#include "tests/OrvaneCore/identity/TestSupport.h"

using namespace orvane;
using namespace orvane::testing;

namespace {

class FakeAuthClient final : public AuthClient {
 public:
  std::vector<std::string> exchanges;  // "identity|device|role|name"
  std::exception_ptr exchangeFailure;
  std::vector<std::string> deletions;             // session tokens
  std::deque<std::exception_ptr> deleteFailures;  // one per call; nullptr or none left: success

  Task<AppleAuthResult> exchange(std::string identity, std::string device, std::string role,
                                 std::string name) override {
    exchanges.push_back(identity + "|" + device + "|" + role + "|" + name);
    if (exchangeFailure) std::rethrow_exception(exchangeFailure);
    co_return AppleAuthResult{"session-" + std::to_string(exchanges.size()), "user-1"};
  }
  Task<void> deleteAccount(std::string token) override {
    deletions.push_back(token);
    if (deleteFailures.empty()) co_return;
    auto failure = deleteFailures.front();
    deleteFailures.pop_front();
    if (failure) std::rethrow_exception(failure);
  }
};

struct AuthManagerTest : ::testing::Test {
  ManualExecutor exec;
  std::shared_ptr<FakeAuthClient> client = std::make_shared<FakeAuthClient>();
  std::shared_ptr<InMemorySessionStore> store = std::make_shared<InMemorySessionStore>();
  int identityRequests = 0;
  std::exception_ptr identityFailure;
  AuthManager manager{client, store, "host-1", "mac", "Desk", [this]() -> Task<std::string> {
                        ++identityRequests;
                        if (identityFailure) std::rethrow_exception(identityFailure);
                        co_return "identity-" + std::to_string(identityRequests);
                      }};
  std::string token;

  std::string valid() {
    return run(exec, [&]() -> Task<void> { token = co_await manager.validSessionToken(); });
  }
  std::string signIn() {
    return run(exec, [&]() -> Task<void> { token = co_await manager.signIn(); });
  }
  std::string deleteAccount() {
    return run(exec, [&]() -> Task<void> { co_await manager.deleteAccount(); });
  }
};

const auto http = [](int status) { return std::make_exception_ptr(AppleAuthError::http(status)); };

}  // namespace

TEST_F(AuthManagerTest, UsesAStoredTokenWithoutAskingAnyoneAndSignsInOtherwise) {
  store->setSessionToken("stored");
  EXPECT_EQ(valid(), "ok");
  EXPECT_EQ(token, "stored");
  EXPECT_EQ(identityRequests, 0);
  EXPECT_TRUE(client->exchanges.empty());

  store->setSessionToken("");  // cannot authenticate: as good as none
  EXPECT_FALSE(manager.hasSession());
  EXPECT_EQ(valid(), "ok");
  EXPECT_EQ(token, "session-1");
  EXPECT_EQ(client->exchanges, std::vector<std::string>{"identity-1|host-1|mac|Desk"});
  EXPECT_EQ(store->sessionToken(), "session-1");
}

TEST_F(AuthManagerTest, AFailedSignInKeepsTheEarlierToken) {
  store->setSessionToken("old");
  client->exchangeFailure = http(500);
  EXPECT_EQ(signIn(), "http(500)");
  identityFailure = std::make_exception_ptr(AppleSignInError::cancelledOrFailed("cancelled"));
  EXPECT_EQ(signIn(), "cancelledOrFailed(cancelled)");
  EXPECT_EQ(client->exchanges.size(), 1u);
  EXPECT_EQ(store->sessionToken(), "old");
}

TEST_F(AuthManagerTest, DeleteSignsInWhenNeededRetriesA401OnceAndKeepsTheTokenOnFailure) {
  const struct {
    std::optional<std::string> stored;
    std::deque<std::exception_ptr> failures;
    std::string outcome;
    std::vector<std::string> deletions;
    std::optional<std::string> left;
  } cases[] = {
      {std::nullopt, {}, "ok", {"session-1"}, std::nullopt},
      {"old", {http(500)}, "http(500)", {"old"}, "old"},
      {"old", {http(401), nullptr}, "ok", {"old", "session-1"}, std::nullopt},
      {"old", {http(401), http(401)}, "http(401)", {"old", "session-1"}, "session-1"},  // the fresh token stays
  };
  for (const auto& c : cases) {
    store->setSessionToken(c.stored);
    client->exchanges.clear();
    client->deletions.clear();
    client->deleteFailures = c.failures;
    EXPECT_EQ(deleteAccount(), c.outcome);
    EXPECT_EQ(client->deletions, c.deletions) << c.outcome;
    EXPECT_EQ(store->sessionToken(), c.left) << c.outcome;
  }
}
