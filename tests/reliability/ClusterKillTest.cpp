// A cluster of two orvane-signal instances behind orvane-balance, with real
// host and pad processes: the host's instance killed under a live session
// whose pad is on the other one, then PostgreSQL and Redis restarted under
// connected devices. Nothing is restarted for the devices: they and the
// instances find their way back alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/identity/AppleAuthClient.h"
#include "OrvaneCore/identity/AuthErrors.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/OrvaneServer/Child.h"
#include "tests/reliability/ProcessLines.h"
#include "tests/support/Await.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/RedisServer.h"
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

using namespace reliability;
using Clock = std::chrono::steady_clock;

std::size_t countNow(Child& child, Child::Stream stream, const std::function<bool(const std::string&)>& match) {
  return waitCount(child, stream, match, 0, 0);
}
bool isSmallVideo(const std::string& line) { return isVideo(line, 640); }
bool isDisconnected(const std::string& line) { return line.starts_with("onDisconnected "); }
bool isJoined(const std::string& line) { return line.find(" joined through Redis") != std::string::npos; }

class ClusterKill : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::RedisServer::available()) GTEST_SKIP() << "redis-server is not installed";
    if (test::PostgresServer::binDir().empty()) GTEST_SKIP() << "PostgreSQL is not installed";
    redis_.emplace();
    postgres_.emplace();
    database_ = postgres_->createDatabase();
    ASSERT_TRUE(startInstance(0, 0)) << instances_[0]->transcript();
    // The first instance made the signing key; the second signs with a copy.
    const auto key = dataDir(0) / "signing-key.pem";
    for (int i = 0; i < 500 && !std::filesystem::exists(key); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::filesystem::create_directories(dataDir(1));
    std::filesystem::copy_file(key, dataDir(1) / "signing-key.pem");
    ASSERT_TRUE(startInstance(1, 0)) << instances_[1]->transcript();
    balancer_.emplace(std::vector<std::string>{ORVANE_BALANCE_EXE, "--listen", "127.0.0.1:0", "--backend",
                                               "127.0.0.1:" + ports_[0], "--backend", "127.0.0.1:" + ports_[1]});
    const auto listening = balancer_->waitPrefix(Child::out, "listening on ", 10);
    ASSERT_TRUE(listening) << balancer_->transcript();
    port_ = listening->substr(listening->rfind(':') + 1);
  }
  void TearDown() override {
    for (auto& instance : instances_) {
      if (!instance) continue;
      instance->signal(SIGTERM);
      instance->wait(10);
    }
  }

  std::filesystem::path dataDir(int i) const { return dir_.path / ("signal-" + std::to_string(i)); }

  // Instance `i` on `port` (0: any), in the cluster.
  bool startInstance(int i, int port) {
    instances_[i].reset();
    instances_[i].emplace(std::vector<std::string>{ORVANE_SIGNAL_EXE, "serve", "--port", std::to_string(port),
                                                   "--data-dir", dataDir(i).string(), "--database", database_,
                                                   "--cluster", redis_->url()});
    const auto listening = instances_[i]->waitPrefix(Child::out, "listening on ", 10);
    if (!listening) return false;
    ports_[i] = listening->substr(listening->rfind(':') + 1);
    return instances_[i]->waitLine(Child::err, isJoined, 10).has_value();
  }
  std::string httpUrl() const { return "http://127.0.0.1:" + port_; }
  std::string wsUrl() const { return "ws://127.0.0.1:" + port_; }

  // How often `device` said hello to each instance.
  std::array<std::size_t, 2> hellos(const std::string& device) {
    const auto match = [&](const std::string& l) {
      return l.find("hello: ") != std::string::npos && l.find(" " + device + " \"") != std::string::npos;
    };
    std::array<std::size_t, 2> counts{};
    for (int i = 0; i < 2; ++i) counts[i] = instances_[i] ? countNow(*instances_[i], Child::err, match) : 0;
    return counts;
  }
  // The instance `device` said hello to since `before`, waiting up to 5 s; -1 when none.
  int placed(const std::string& device, std::array<std::size_t, 2> before) {
    const auto until = Clock::now() + std::chrono::seconds(5);
    do {
      const auto now = hellos(device);
      for (int i = 0; i < 2; ++i) {
        if (now[i] > before[i]) return i;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < until);
    return -1;
  }

  std::string invite() {
    Child invite({ORVANE_SIGNAL_EXE, "invite", "--user", "alice", "--data-dir", dataDir(0).string()});
    EXPECT_EQ(invite.wait(10), 0) << invite.transcript();
    const auto lines = invite.lines(Child::out);
    return lines.empty() ? "" : lines[0];
  }
  // A session token for a new invite exchanged through the balancer; "" when refused or unanswered.
  std::string sessionToken(const std::string& deviceId, const std::string& role) {
    ManualExecutor exec;
    AppleAuthClient client(*Url::parse(httpUrl()), exec);
    try {
      return test::await(exec, client.exchange(invite(), deviceId, role, deviceId + " name"), Seconds(10)).sessionToken;
    } catch (const AppleAuthError&) {
      return "";
    } catch (const AuthTransportError&) {
      return "";
    }
  }

  std::vector<std::string> pad(const std::string& token, const std::string& deviceId,
                               std::vector<std::string> command) {
    std::vector<std::string> args{ORVANE_PAD_EXE, "--server", wsUrl(),   "--token",      token,
                                  "--device-id",  deviceId,   "--verbose", "--ice-server", "none"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  // `orvane-pad list` through the balancer, as a device of its own (a pad
  // signing in under a session's device id would replace that session's).
  bool listsHost(const std::string& token) {
    Child list(pad(token, "L1", {"list"}));
    return list.wait(10) == 0 && list.lines(Child::out) == std::vector<std::string>{"H1\tTest host"};
  }

  // Whether each instance lists the host within `seconds`: lists go to
  // both in turn, and the hellos tell which one answered.
  bool listedByBoth(const std::string& token, double seconds) {
    const auto start = Clock::now();
    std::array<bool, 2> listedBy{false, false};
    while (!(listedBy[0] && listedBy[1]) && secondsSince(start) < seconds) {
      const auto before = hellos("L1");
      const bool listed = listsHost(token);
      const int by = placed("L1", before);
      if (by >= 0) listedBy[by] = listedBy[by] || listed;
    }
    return listedBy[0] && listedBy[1];
  }

  std::string transcripts() {
    std::string text;
    for (auto& instance : instances_) {
      if (instance) text += instance->transcript();
    }
    return text + balancer_->transcript();
  }

  test::TempDir dir_;
  std::optional<test::RedisServer> redis_;
  std::optional<test::PostgresServer> postgres_;
  std::string database_;
  std::optional<Child> instances_[2];
  std::string ports_[2];
  std::optional<Child> balancer_;
  std::string port_;
};

TEST_F(ClusterKill, ASessionOutlivesTheHostsInstanceAndTheClusterOutlivesItsStores) {
  const std::string hostToken = sessionToken("H1", "mac");
  const std::string padToken = sessionToken("P1", "pad");
  const std::string otherPadToken = sessionToken("P2", "pad");
  const std::string listToken = sessionToken("L1", "pad");
  ASSERT_FALSE(hostToken.empty() || padToken.empty() || otherPadToken.empty() || listToken.empty()) << transcripts();

  Child host({ORVANE_TEST_HOST_EXE, "--server", wsUrl(), "--token", hostToken, "--device-id", "H1", "--size",
              "640x360"});
  ASSERT_TRUE(host.waitLine(Child::err, isReady, 10)) << host.transcript() << transcripts();
  const int hostOn = placed("H1", {0, 0});
  ASSERT_GE(hostOn, 0) << transcripts();
  const int survivor = 1 - hostOn;

  // Each device holds one connection, so the balancer's turn puts the pad's,
  // which comes next, on the other instance. Should anything else have taken
  // a turn in between, the pad tries again and gets the other one.
  std::optional<Child> session;
  int padOn = hostOn;
  for (int attempt = 0; attempt < 4 && padOn == hostOn; ++attempt) {
    if (session) {
      session->signal(SIGTERM);
      session->wait(10);
    }
    const auto before = hellos("P1");
    session.emplace(pad(padToken, "P1", {"connect", "H1"}));
    padOn = placed("P1", before);
  }
  ASSERT_EQ(padOn, survivor) << session->transcript() << transcripts();
  const auto all = [&] { return session->transcript() + host.transcript() + transcripts(); };
  ASSERT_GE(waitCount(*session, Child::err, isSmallVideo, 1, 20), 1u) << all();

  int events = 0;
  const auto roundTrip = [&](Child& pad) {
    const std::string typed = *encodeControlEvent(events::MouseMoved{0.01 * ++events, 0.5});
    const std::string echo = *encodeControlEvent(events::WindowFocused{"echo " + typed, "orvane_test_host"});
    pad.write(typed + "\n");
    return pad.waitLine(Child::out, [&](const std::string& l) { return l == echo; }, 5).has_value();
  };
  ASSERT_TRUE(roundTrip(*session)) << all();

  // The host's instance dies. The session runs peer to peer and goes on; the
  // host comes back through the balancer, which now skips the dead instance.
  const std::size_t hostReady = countNow(host, Child::err, isReady);
  const std::size_t videoBefore = countNow(*session, Child::err, isSmallVideo);
  instances_[hostOn]->signal(SIGKILL);
  EXPECT_EQ(instances_[hostOn]->wait(10), 128 + SIGKILL);
  const auto killed = Clock::now();
  ASSERT_GT(waitCount(host, Child::err, isReady, hostReady + 1, 10), hostReady) << all();
  const double hostBack = secondsSince(killed);
  std::optional<double> listed;
  while (!listed && secondsSince(killed) < 15) {
    if (listsHost(listToken)) listed = secondsSince(killed);
  }
  ASSERT_TRUE(listed) << all();
  EXPECT_LE(*listed, 10.0);
  EXPECT_GE(waitCount(*session, Child::err, isSmallVideo, videoBefore + 3, 5), videoBefore + 3) << all();
  EXPECT_TRUE(roundTrip(*session)) << all();
  EXPECT_EQ(countNow(host, Child::out, isDisconnected), 0u) << "the session ended with the instance\n" << all();
  std::printf("host's instance killed: host reconnected after %.2f s, listed again after %.2f s\n", hostBack,
              *listed);
  RecordProperty("host_reconnect_seconds", std::to_string(hostBack));
  RecordProperty("host_listed_seconds", std::to_string(*listed));

  // The session ends; a new one starts through what is left of the cluster.
  session->signal(SIGTERM);
  EXPECT_EQ(session->wait(10), 143) << all();
  ASSERT_EQ(waitCount(host, Child::out, isDisconnected, 1, 15), 1u) << all();
  std::optional<Child> next;
  next.emplace(pad(otherPadToken, "P2", {"connect", "H1"}));
  ASSERT_GE(waitCount(*next, Child::err, isSmallVideo, 1, 20), 1u) << next->transcript() << all();

  // The dead instance comes back, so both serve while the stores restart
  // under the connected host and pad.
  ASSERT_TRUE(startInstance(hostOn, std::stoi(ports_[hostOn]))) << transcripts();
  const std::array<std::size_t, 2> joined{countNow(*instances_[0], Child::err, isJoined),
                                          countNow(*instances_[1], Child::err, isJoined)};

  postgres_->stop();
  postgres_->start();
  const auto postgresUp = Clock::now();
  std::string freshToken;
  while (freshToken.empty() && secondsSince(postgresUp) < 15) freshToken = sessionToken("P3", "pad");
  ASSERT_FALSE(freshToken.empty()) << transcripts();
  const double postgresBack = secondsSince(postgresUp);

  // Redis comes back empty: the instances rejoin and announce their devices
  // again. The host is listed by both instances, one of which knows it only
  // through Redis (and forgot it when Redis went).
  const std::size_t videoOnNext = countNow(*next, Child::err, isSmallVideo);
  redis_->stop();
  redis_->start();
  const auto redisUp = Clock::now();
  for (int i = 0; i < 2; ++i) {
    ASSERT_GT(waitCount(*instances_[i], Child::err, isJoined, joined[i] + 1, 15), joined[i]) << transcripts();
  }
  ASSERT_TRUE(listedByBoth(listToken, 15)) << transcripts();
  const double redisBack = secondsSince(redisUp);
  EXPECT_GE(waitCount(*next, Child::err, isSmallVideo, videoOnNext + 2, 5), videoOnNext + 2) << next->transcript();
  EXPECT_TRUE(roundTrip(*next)) << next->transcript() << host.transcript();
  std::printf("stores restarted: PostgreSQL usable again after %.2f s, Redis (host listed by both) after %.2f s\n",
              postgresBack, redisBack);
  RecordProperty("postgres_recovery_seconds", std::to_string(postgresBack));
  RecordProperty("redis_recovery_seconds", std::to_string(redisBack));

  next->signal(SIGTERM);
  EXPECT_EQ(next->wait(10), 143);
  ASSERT_EQ(waitCount(host, Child::out, isDisconnected, 2, 15), 2u) << host.transcript();
  Child last(pad(freshToken, "P3", {"connect", "H1"}));
  EXPECT_GE(waitCount(last, Child::err, isSmallVideo, 1, 20), 1u)
      << last.transcript() << host.transcript() << transcripts();
  last.signal(SIGTERM);
  EXPECT_EQ(last.wait(10), 143);
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10), 0) << host.transcript();
}

}  // namespace
}  // namespace orvane
