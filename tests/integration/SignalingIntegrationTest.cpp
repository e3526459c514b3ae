// The shipped client classes against the real orvane-signal server on
// loopback: identity exchange, hello, listing, pairing, relaying, peer
// departure, isolation between users and refusal of a bad token.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/identity/AppleAuthClient.h"
#include "OrvaneCore/runtime/Locked.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/websocket/BeastWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"
#include "OrvaneServer/Server.h"
#include "OrvaneServer/auth/Auth.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// What one service's callbacks saw; they run on its transport thread.
struct Seen {
  Locked<std::vector<SignalingMessage>> messages;
  Locked<int> connectionRequests{0};
  Locked<int> peerGone{0};
  Locked<std::vector<std::string>> errorCodes;
};

class SignalingIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    dataDir_ = std::filesystem::temp_directory_path() /
               ("orvane-signal-it-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dataDir_);
    server::AuthOptions authOptions;
    authOptions.dataDir = dataDir_;
    auth_ = server::makeAuth(authOptions);
    server::ServerOptions options;
    options.port = 0;
    server_ = std::make_unique<server::Server>(options, *auth_, clock_, serverLog_);
    server_->start();
    base_ = *Url::parse(server_->url());
  }

  void TearDown() override {
    for (auto& service : services_) service->stop();
    services_.clear();
    server_->stop();
    std::filesystem::remove_all(dataDir_);
  }

  template <typename T>
  T await(Task<T> task) {
    std::optional<T> result;
    std::exception_ptr error;
    auto handle = spawn(exec_, [&, t = std::move(task)]() mutable -> Task<void> {
      try {
        result.emplace(co_await std::move(t));
      } catch (...) {
        error = std::current_exception();
      }
    });
    EXPECT_TRUE(exec_.runUntil([&] { return result.has_value() || error != nullptr; }, 10s));
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }

  void awaitVoid(Task<void> task) {
    await([](Task<void> t) -> Task<bool> {
      co_await std::move(t);
      co_return true;
    }(std::move(task)));
  }

  // A session token for a device of `user`, through an invite and the real
  // HTTP exchange.
  std::string signIn(const std::string& user, const std::string& deviceId, const std::string& role) {
    server::InviteOptions inviteOptions;
    inviteOptions.dataDir = dataDir_;
    inviteOptions.user = user;
    const std::string invite = server::makeInvite(inviteOptions);
    AppleAuthClient client(base_, exec_);
    return await(client.exchange(invite, deviceId, role, deviceId + " name")).sessionToken;
  }

  std::shared_ptr<WebSocketSignalingService> service(SignalingRole role, const std::string& deviceId,
                                                     const std::string& token, Seen& seen,
                                                     LogSink& log = systemLogSink()) {
    auto wsBase = base_;
    wsBase.scheme = "ws";
    auto created = WebSocketSignalingService::create(role, deviceId, deviceId + " name", wsBase, token,
                                                     std::make_shared<BeastWebSocketTransport>(), exec_, log);
    created->onMessage = [&seen](const SignalingMessage& m) { seen.messages.with([&](auto& v) { v.push_back(m); }); };
    created->onConnectionRequested = [&seen] { seen.connectionRequests.with([](int& n) { ++n; }); };
    created->onPeerGone = [&seen] { seen.peerGone.with([](int& n) { ++n; }); };
    created->onError = [&seen](const std::string& code, const std::string&) {
      seen.errorCodes.with([&](auto& v) { v.push_back(code); });
    };
    services_.push_back(created);
    return created;
  }

  bool waitFor(const std::function<bool()>& done) { return exec_.runUntil(done, 10s); }

  ManualExecutor exec_;
  SystemClock clock_;
  CapturingLogSink serverLog_;
  std::filesystem::path dataDir_;
  std::unique_ptr<server::Auth> auth_;
  std::unique_ptr<server::Server> server_;
  Url base_;
  std::vector<std::shared_ptr<WebSocketSignalingService>> services_;
};

TEST_F(SignalingIntegration, HostAndPadOfOneUserCompleteAnExchange) {
  Seen macSeen, padSeen;
  auto mac = service(SignalingRole::mac, "H1", signIn("alice", "H1", "mac"), macSeen);
  auto pad = service(SignalingRole::pad, "P1", signIn("alice", "P1", "pad"), padSeen);
  mac->start();
  pad->start();

  // The host may not have said hello yet when the pad first asks.
  std::vector<HostInfo> hosts;
  ASSERT_TRUE(waitFor([&] {
    hosts = await(pad->listHosts());
    return !hosts.empty();
  }));
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].id, "H1");
  EXPECT_EQ(hosts[0].machineName, "H1 name");

  awaitVoid(pad->sendConnectionRequest(hosts[0]));
  ASSERT_TRUE(waitFor([&] { return macSeen.connectionRequests.get() == 1; }));

  awaitVoid(mac->sendOffer("v=0 offer/1"));
  ICECandidateInfo hostCandidate{"candidate:1 1 udp 2122260223 192.0.2.1 54400 typ host", 0, std::nullopt};
  awaitVoid(mac->sendICECandidate(hostCandidate));
  ASSERT_TRUE(waitFor([&] { return padSeen.messages.get().size() == 2; }));
  EXPECT_EQ(padSeen.messages.get()[0], SignalingMessage(SignalingMessage::Offer{"v=0 offer/1"}));
  EXPECT_EQ(padSeen.messages.get()[1], SignalingMessage(SignalingMessage::IceCandidate{hostCandidate}));

  awaitVoid(pad->sendAnswer("v=0 answer"));
  ICECandidateInfo padCandidate{"candidate:2 1 tcp 1 192.0.2.2 9 typ host", 1, "1"};
  awaitVoid(pad->sendICECandidate(padCandidate));
  ASSERT_TRUE(waitFor([&] { return macSeen.messages.get().size() == 2; }));
  EXPECT_EQ(macSeen.messages.get()[0], SignalingMessage(SignalingMessage::Answer{"v=0 answer"}));
  EXPECT_EQ(macSeen.messages.get()[1], SignalingMessage(SignalingMessage::IceCandidate{padCandidate}));

  pad->stop();
  ASSERT_TRUE(waitFor([&] { return macSeen.peerGone.get() == 1; }));
  EXPECT_TRUE(macSeen.errorCodes.get().empty());
  EXPECT_TRUE(padSeen.errorCodes.get().empty());
}

TEST_F(SignalingIntegration, UsersNeverSeeEachOthersHosts) {
  Seen aliceMacSeen, bobPadSeen;
  auto aliceMac = service(SignalingRole::mac, "H-alice", signIn("alice", "H-alice", "mac"), aliceMacSeen);
  auto bobPad = service(SignalingRole::pad, "P-bob", signIn("bob", "P-bob", "pad"), bobPadSeen);
  aliceMac->start();
  bobPad->start();
  ASSERT_TRUE(waitFor([&] { return serverLog_.messages().size() >= 2; }));

  EXPECT_TRUE(await(bobPad->listHosts()).empty());
  HostInfo foreign{"H-alice", "H-alice name", {}};
  awaitVoid(bobPad->sendConnectionRequest(foreign));
  ASSERT_TRUE(waitFor([&] { return !bobPadSeen.errorCodes.get().empty(); }));
  EXPECT_EQ(bobPadSeen.errorCodes.get()[0], "host_offline");
  exec_.runUntil([] { return false; }, 0.2s);
  EXPECT_EQ(aliceMacSeen.connectionRequests.get(), 0);
}

TEST_F(SignalingIntegration, BadTokenIsRefusedAndTheClientBacksOff) {
  Seen seen;
  CapturingLogSink log;
  auto mac = service(SignalingRole::mac, "H1", "not-a-token", seen, log);
  mac->start();
  auto closes = [&] {
    auto messages = log.messages();
    return std::count(messages.begin(), messages.end(), "transport closed (was discovering: false)");
  };
  ASSERT_TRUE(waitFor([&] { return closes() == 1; }));
  exec_.advance(0.5s);  // the first back-off step, in virtual time
  EXPECT_TRUE(log.hasMessage("reconnecting (attempt 1/5)…"));
  ASSERT_TRUE(waitFor([&] { return closes() == 2; }));
  exec_.advance(0.99s);
  EXPECT_FALSE(log.hasMessage("reconnecting (attempt 2/5)…"));
  exec_.advance(0.01s);
  EXPECT_TRUE(log.hasMessage("reconnecting (attempt 2/5)…"));
  for (const auto& message : serverLog_.messages()) EXPECT_EQ(message.find("not-a-token"), std::string::npos);
}

}  // namespace
}  // namespace orvane
