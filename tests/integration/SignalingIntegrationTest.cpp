// The shipped client classes against the real orvane-signal server on
// loopback: identity exchange, hello, listing, pairing, relaying and peer
// departure. Refusals, isolation and back-off are the unit suites' (server,
// hub, transport, service).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/identity/AppleAuthClient.h"
#include "OrvaneCore/runtime/Locked.h"
#include "OrvaneCore/signaling/websocket/BeastWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"
#include "OrvaneServer/Server.h"
#include "OrvaneServer/auth/Auth.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

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
    server::AuthOptions authOptions;
    authOptions.dataDir = dir_.path;
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
  }

  template <typename T>
  T await(Task<T> task) {
    return test::await(exec_, std::move(task), 10s);
  }
  // A session token for a device of `user`, through an invite and the real HTTP exchange.
  std::string signIn(const std::string& user, const std::string& deviceId, const std::string& role) {
    server::InviteOptions inviteOptions;
    inviteOptions.dataDir = dir_.path;
    inviteOptions.user = user;
    AppleAuthClient client(base_, exec_);
    return await(client.exchange(server::makeInvite(inviteOptions), deviceId, role, deviceId + " name")).sessionToken;
  }
  std::shared_ptr<WebSocketSignalingService> service(SignalingRole role, const std::string& deviceId, Seen& seen) {
    auto wsBase = base_;
    wsBase.scheme = "ws";
    const std::string token = signIn("alice", deviceId, std::string(toString(role)));
    auto created = WebSocketSignalingService::create(role, deviceId, deviceId + " name", wsBase, token,
                                                     std::make_shared<BeastWebSocketTransport>(), exec_,
                                                     systemLogSink());
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

  test::TempDir dir_;
  ManualExecutor exec_;
  SystemClock clock_;
  CapturingLogSink serverLog_;
  std::unique_ptr<server::Auth> auth_;
  std::unique_ptr<server::Server> server_;
  Url base_;
  std::vector<std::shared_ptr<WebSocketSignalingService>> services_;
};

TEST_F(SignalingIntegration, HostAndPadOfOneUserCompleteAnExchange) {
  Seen macSeen, padSeen;
  auto mac = service(SignalingRole::mac, "H1", macSeen);
  auto pad = service(SignalingRole::pad, "P1", padSeen);
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

  await(pad->sendConnectionRequest(hosts[0]));
  ASSERT_TRUE(waitFor([&] { return macSeen.connectionRequests.get() == 1; }));

  await(mac->sendOffer("v=0 offer/1"));
  ICECandidateInfo hostCandidate{"candidate:1 1 udp 2122260223 192.0.2.1 54400 typ host", 0, std::nullopt};
  await(mac->sendICECandidate(hostCandidate));
  ASSERT_TRUE(waitFor([&] { return padSeen.messages.get().size() == 2; }));
  EXPECT_EQ(padSeen.messages.get(), (std::vector<SignalingMessage>{SignalingMessage::Offer{"v=0 offer/1"},
                                                                   SignalingMessage::IceCandidate{hostCandidate}}));

  await(pad->sendAnswer("v=0 answer"));
  ICECandidateInfo padCandidate{"candidate:2 1 tcp 1 192.0.2.2 9 typ host", 1, "1"};
  await(pad->sendICECandidate(padCandidate));
  ASSERT_TRUE(waitFor([&] { return macSeen.messages.get().size() == 2; }));
  EXPECT_EQ(macSeen.messages.get(), (std::vector<SignalingMessage>{SignalingMessage::Answer{"v=0 answer"},
                                                                   SignalingMessage::IceCandidate{padCandidate}}));

  pad->stop();
  ASSERT_TRUE(waitFor([&] { return macSeen.peerGone.get() == 1; }));
  EXPECT_TRUE(macSeen.errorCodes.get().empty());
  EXPECT_TRUE(padSeen.errorCodes.get().empty());
}

}  // namespace
}  // namespace orvane
