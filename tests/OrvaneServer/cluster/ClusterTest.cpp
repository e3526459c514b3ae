// orvane-signal as a cluster: two instances in one process meeting in a real
// Redis, the pad on one and the host on the other.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "OrvaneServer/Server.h"
#include "tests/OrvaneServer/FakeAuth.h"
#include "tests/OrvaneServer/WsClient.h"
#include "tests/support/RedisServer.h"

using namespace orvane;
using namespace orvane::server;
using namespace orvane::server::wstest;

namespace {

const std::string kConnect = R"({"type":"connectRequest","targetDeviceId":"mac-1"})";

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::RedisServer::available()) GTEST_SKIP() << "redis-server is not installed";
    std::signal(SIGPIPE, SIG_IGN);  // as orvane-signal does
    redis.emplace();
    for (int i = 0; i < 2; ++i) start(i);
  }
  void TearDown() override {
    for (auto& s : servers) s.reset();
    if (HasFailure()) {
      for (const auto& line : sink.messages()) std::cerr << "log: " << line << '\n';
    }
  }
  void start(int i) {
    auto& auth = auths[i];
    auth.addToken("tok-mac", {"alice", "mac-1", "mac", "Studio"});
    auth.addToken("tok-pad", {"alice", "pad-1", "pad", "Pad"});
    auth.addToken("tok-pad2", {"alice", "pad-2", "pad", "Pad 2"});
    ServerOptions options;
    options.port = 0;
    options.clusterUrl = redis->url();
    options.clusterRefresh = std::chrono::milliseconds(100);
    options.clusterLapse = std::chrono::milliseconds(400);
    servers[i].emplace(options, auth, clock, sink);
    servers[i]->start();
  }
  std::unique_ptr<Client> join(int server, const std::string& token, const std::string& role,
                               const std::string& device) {
    auto c = std::make_unique<Client>();
    EXPECT_EQ(c->connect(servers[server]->port(), "Bearer " + token), 101U);
    c->send(hello(role, device));
    EXPECT_EQ(c->next().type, "welcome");
    return c;
  }
  // Polls the list until it is `want`: presence travels through Redis.
  bool listsWithin(Client& pad, std::vector<std::string> want, std::chrono::milliseconds limit) {
    std::vector<std::string> got;
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      pad.send(kListHosts);
      WSEnvelope reply = pad.next();
      got.clear();
      for (const auto& h : reply.hosts.value_or(std::vector<WSHost>{})) got.push_back(h.deviceId);
      if (got == want) return true;
    }
    ADD_FAILURE() << "still listing " << got.size() << " hosts";
    return false;
  }

  std::optional<test::RedisServer> redis;
  SystemClock clock;
  CapturingLogSink sink;
  fake::FakeAuth auths[2];
  std::optional<Server> servers[2];
};

TEST_F(ClusterTest, APadAndAHostOnTwoInstancesSignalAsOnOne) {
  auto pad = join(0, "tok-pad", "pad", "pad-1");
  auto mac = join(1, "tok-mac", "mac", "mac-1");
  ASSERT_TRUE(listsWithin(*pad, {"mac-1"}, std::chrono::seconds(2)));

  pad->send(kConnect);
  WSEnvelope request = mac->next();
  EXPECT_EQ(request.type, "connectRequest");
  EXPECT_EQ(request.fromDeviceId, "pad-1");
  mac->send(R"({"type":"offer","sdp":"v=0\r\n\/x \u00e9"})");
  WSEnvelope offer = pad->next();
  EXPECT_EQ(offer.sdp, "v=0\r\n/x \xc3\xa9");
  EXPECT_EQ(offer.fromDeviceId, "mac-1");
  pad->send(R"({"type":"ice","sdp":"candidate:1","sdpMLineIndex":0,"sdpMid":"0"})");
  WSEnvelope ice = mac->next();
  EXPECT_EQ(ice.sdpMid, "0");
  EXPECT_EQ(ice.sdpMLineIndex, 0);

  // Another pad, on the host's instance, takes the host over: the first learns it.
  auto pad2 = join(1, "tok-pad2", "pad", "pad-2");
  pad2->send(kConnect);
  EXPECT_EQ(mac->next().fromDeviceId, "pad-2");
  EXPECT_EQ(pad->next().type, "peerGone");
  pad->send(R"({"type":"answer","sdp":"a"})");
  EXPECT_EQ(pad->next().code, "host_offline");

  // The host leaves: its pad learns it and the other instance's lists lose it.
  mac.reset();
  EXPECT_EQ(pad2->next().type, "peerGone");
  EXPECT_TRUE(listsWithin(*pad, {}, std::chrono::seconds(2)));

  // An account deleted on one instance closes its sockets on every one.
  auths[0].deleteAccount("Bearer tok-pad");
  EXPECT_EQ(pad2->closeCode(), limits::kCloseRevoked);
}

TEST_F(ClusterTest, AStoppedInstanceIsAPeerGoneItsHostsLeaveAndTheyCarryOnElsewhere) {
  auto pad = join(0, "tok-pad", "pad", "pad-1");
  auto mac = join(1, "tok-mac", "mac", "mac-1");
  ASSERT_TRUE(listsWithin(*pad, {"mac-1"}, std::chrono::seconds(2)));
  pad->send(kConnect);
  ASSERT_EQ(mac->next().type, "connectRequest");

  const auto stopped = std::chrono::steady_clock::now();
  servers[1].reset();
  EXPECT_EQ(pad->next().type, "peerGone");
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4));  // stop grace + a refresh
  EXPECT_TRUE(listsWithin(*pad, {}, std::chrono::seconds(1)));

  mac = join(0, "tok-mac", "mac", "mac-1");
  ASSERT_TRUE(listsWithin(*pad, {"mac-1"}, std::chrono::seconds(1)));
  pad->send(kConnect);
  EXPECT_EQ(mac->next().fromDeviceId, "pad-1");
}

TEST_F(ClusterTest, InstancesComeBackFromARedisRestartWithoutOneOfTheirOwn) {
  auto pad = join(0, "tok-pad", "pad", "pad-1");
  auto mac = join(1, "tok-mac", "mac", "mac-1");
  ASSERT_TRUE(listsWithin(*pad, {"mac-1"}, std::chrono::seconds(2)));
  pad->send(kConnect);
  ASSERT_EQ(mac->next().type, "connectRequest");

  redis->stop();
  // What cannot reach the peer now says so instead of vanishing.
  pad->send(R"({"type":"answer","sdp":"a"})");
  EXPECT_EQ(pad->next().type, "peerGone");
  redis->start();  // empty: the instances announce their devices again
  ASSERT_TRUE(listsWithin(*pad, {"mac-1"}, std::chrono::seconds(5)));
  pad->send(kConnect);
  // While Redis was gone each instance may have seen the other lapse, which
  // ended the old pairing on the host's side too: that peerGone can still be
  // queued ahead of the new request.
  auto request = mac->next();
  if (request.type == "peerGone") request = mac->next();
  EXPECT_EQ(request.type, "connectRequest");
  mac->send(R"({"type":"offer","sdp":"o"})");
  EXPECT_EQ(pad->next().sdp, "o");
}

}  // namespace
