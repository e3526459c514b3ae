// The signalling server killed and started again under a live session: the
// picture and the control events go on (they never pass through the server),
// host and pad come back with their back-off, accounts and session tokens are
// still good, and an invite exchanged as the server dies is used at most once.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
#include "tests/support/TempDir.h"

namespace orvane {
namespace {

using namespace reliability;
using Clock = std::chrono::steady_clock;

enum class Exchange { issued, refused, noAnswer };

const char* name(Exchange e) {
  switch (e) {
    case Exchange::issued: return "issued";
    case Exchange::refused: return "refused";
    case Exchange::noAnswer: return "no answer";
  }
  return "?";
}

class ServerRestart : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(start(0)); }
  void TearDown() override {
    if (server_) {
      server_->signal(SIGTERM);
      server_->wait(10);
    }
  }

  std::string dataDir() const { return (dir_.path / "signal").string(); }

  // orvane-signal on `port` (0: any) and the shared data directory.
  bool start(int port) {
    server_.reset();
    server_.emplace(std::vector<std::string>{ORVANE_SIGNAL_EXE, "serve", "--port", std::to_string(port), "--data-dir",
                                             dataDir()});
    const auto listening = server_->waitPrefix(Child::out, "listening on ", 10);
    if (!listening) return false;
    port_ = listening->substr(listening->rfind(':') + 1);
    return true;
  }
  void kill() {
    server_->signal(SIGKILL);
    EXPECT_EQ(server_->wait(10), 128 + SIGKILL);
  }
  std::string httpUrl() const { return "http://127.0.0.1:" + port_; }
  std::string wsUrl() const { return "ws://127.0.0.1:" + port_; }

  std::string invite() {
    Child invite({ORVANE_SIGNAL_EXE, "invite", "--user", "alice", "--data-dir", dataDir()});
    EXPECT_EQ(invite.wait(10), 0) << invite.transcript();
    const auto lines = invite.lines(Child::out);
    return lines.empty() ? "" : lines[0];
  }

  // One exchange of `token`; the session token when one was issued.
  std::pair<Exchange, std::string> exchange(const std::string& token, const std::string& deviceId,
                                            const std::string& role) {
    ManualExecutor exec;
    AppleAuthClient client(*Url::parse(httpUrl()), exec);
    try {
      auto result = test::await(exec, client.exchange(token, deviceId, role, deviceId + " name"), Seconds(10));
      return {Exchange::issued, result.sessionToken};
    } catch (const AppleAuthError& error) {
      EXPECT_TRUE(error.isHttp(401)) << error.what();
      return {Exchange::refused, ""};
    } catch (const AuthTransportError&) {
      return {Exchange::noAnswer, ""};
    }
  }
  std::string sessionToken(const std::string& deviceId, const std::string& role) {
    return exchange(invite(), deviceId, role).second;
  }

  std::vector<std::string> pad(const std::string& token, const std::string& deviceId, std::vector<std::string> command) {
    std::vector<std::string> args{ORVANE_PAD_EXE, "--server", wsUrl(),   "--token",      token,
                                  "--device-id",  deviceId,   "--verbose", "--ice-server", "none"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  test::TempDir dir_;
  std::optional<Child> server_;
  std::string port_;
};

TEST_F(ServerRestart, TheSessionOutlivesTheServerAndEveryoneComesBackToTheRestartedOne) {
  const std::string hostToken = sessionToken("H1", "mac");
  const std::string padToken = sessionToken("P1", "pad");
  const std::string otherPadToken = sessionToken("P2", "pad");
  ASSERT_FALSE(hostToken.empty() || padToken.empty() || otherPadToken.empty());

  Child host({ORVANE_TEST_HOST_EXE, "--server", wsUrl(), "--token", hostToken, "--device-id", "H1", "--size",
              "640x360"});
  ASSERT_TRUE(host.waitLine(Child::err, isReady, 10)) << host.transcript();
  Child session(pad(padToken, "P1", {"connect", "H1"}));
  const auto transcripts = [&] { return session.transcript() + host.transcript() + server_->transcript(); };
  const auto video = [](const std::string& l) { return isVideo(l, 640); };
  ASSERT_EQ(waitCount(session, Child::err, video, 1, 20), 1u) << transcripts();

  int events = 0;
  // A control event typed on the pad reaches the host and its echo comes back.
  const auto roundTrip = [&] {
    const std::string typed = *encodeControlEvent(events::MouseMoved{0.01 * ++events, 0.5});
    const std::string echo = *encodeControlEvent(events::WindowFocused{"echo " + typed, "orvane_test_host"});
    session.write(typed + "\n");
    return session.waitLine(Child::out, [&](const std::string& l) { return l == echo; }, 5).has_value();
  };
  ASSERT_TRUE(roundTrip()) << transcripts();

  // The server dies. Both ends notice, and the session goes on without it.
  const std::size_t hostReady = waitCount(host, Child::err, isReady, 0, 0);
  const std::size_t padReady = waitCount(session, Child::err, isReady, 0, 0);
  const std::size_t videoBefore = waitCount(session, Child::err, video, 0, 0);
  kill();
  const auto down = Clock::now();
  const auto closed = [](const std::string& l) { return l.find("[ws] transport closed") != std::string::npos; };
  EXPECT_GE(waitCount(host, Child::err, closed, 1, 5), 1u) << transcripts();
  EXPECT_GE(waitCount(session, Child::err, closed, 1, 5), 1u) << transcripts();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(roundTrip()) << "event " << events << " with the server down\n" << transcripts();
  EXPECT_GE(waitCount(session, Child::err, video, videoBefore + 3, 5), videoBefore + 3) << transcripts();
  const double downSeconds = secondsSince(down);

  // Started again on its port and data: both come back with the same tokens.
  ASSERT_TRUE(start(std::stoi(port_))) << server_->transcript();
  const auto up = Clock::now();
  std::optional<double> hostBack, padBack;
  while ((!hostBack || !padBack) && secondsSince(up) < 15) {
    if (!hostBack && waitCount(host, Child::err, isReady, 0, 0) > hostReady) hostBack = secondsSince(up);
    if (!padBack && waitCount(session, Child::err, isReady, 0, 0) > padReady) padBack = secondsSince(up);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(hostBack && padBack) << transcripts();
  std::printf("server down %.1f s; back after the restart: host %.2f s, pad %.2f s\n", downSeconds, *hostBack,
              *padBack);
  RecordProperty("host_reconnect_seconds", std::to_string(*hostBack));
  RecordProperty("pad_reconnect_seconds", std::to_string(*padBack));
  EXPECT_TRUE(roundTrip()) << transcripts();

  // The host is listed to another pad, whose token also predates the restart.
  std::vector<std::string> listed;
  const auto listUntil = Clock::now() + std::chrono::seconds(10);
  while (listed.empty() && Clock::now() < listUntil) {
    Child list(pad(otherPadToken, "P2", {"list"}));
    ASSERT_EQ(list.wait(10), 0) << list.transcript();
    listed = list.lines(Child::out);
  }
  ASSERT_EQ(listed, std::vector<std::string>{"H1\tTest host"});
  const auto hostSaid = host.lines(Child::out);
  EXPECT_TRUE(std::none_of(hostSaid.begin(), hostSaid.end(), [](const std::string& l) { return l.starts_with("onDisc"); }))
      << "the session ended while the server was away\n" << transcripts();

  // The old session ends; a new one is made through the restarted server.
  session.signal(SIGTERM);
  EXPECT_EQ(session.wait(10), 143) << transcripts();
  ASSERT_TRUE(host.waitPrefix(Child::out, "onDisconnected ", 15)) << transcripts();
  Child next(pad(otherPadToken, "P2", {"connect", "H1"}));
  EXPECT_EQ(waitCount(next, Child::err, video, 1, 20), 1u) << next.transcript() << host.transcript();
  next.signal(SIGTERM);
  EXPECT_EQ(next.wait(10), 143);
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10), 0) << host.transcript();
}

TEST_F(ServerRestart, AnInviteIsUsedAtMostOnceWhenTheServerDiesDuringItsExchange) {
  // How long an exchange takes here, so the kills spread over all of it.
  std::vector<double> took;
  for (int i = 0; i < 3; ++i) {
    const std::string token = invite();
    const auto start = Clock::now();
    ASSERT_EQ(exchange(token, "P" + std::to_string(i), "pad").first, Exchange::issued);
    took.push_back(secondsSince(start));
  }
  std::sort(took.begin(), took.end());

  // The first rounds spread the kills over a whole exchange; the rest close
  // in on where "no answer" turns into "answered": the commit and the reply
  // happen in between.
  constexpr int kSpreadRounds = 10, kRounds = 40;
  double lastUnanswered = 0, firstAnswered = 1.5 * took[1];
  int unused = 0, usedUnheard = 0, heard = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string token = invite();
    const std::string device = "R" + std::to_string(round);
    const double low = round < kSpreadRounds ? 0 : std::max(0.0, lastUnanswered - 0.002);
    const double high = round < kSpreadRounds ? firstAnswered : firstAnswered + 0.002;
    const int step = round < kSpreadRounds ? round : round - kSpreadRounds;
    const int steps = round < kSpreadRounds ? kSpreadRounds : kRounds - kSpreadRounds;
    const auto delay = std::chrono::duration<double>(low + (high - low) * step / (steps - 1));
    std::thread killer([&] {
      std::this_thread::sleep_for(delay);
      server_->signal(SIGKILL);
    });
    const Exchange raced = exchange(token, device, "pad").first;
    killer.join();
    EXPECT_NE(raced, Exchange::refused) << "round " << round;
    server_->wait(10);
    ASSERT_TRUE(start(0)) << server_->transcript();

    const Exchange again = exchange(token, device, "pad").first;
    ASSERT_NE(again, Exchange::noAnswer);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + name(raced) + ", then " + name(again));
    if (raced == Exchange::issued) {
      EXPECT_EQ(again, Exchange::refused);
      firstAnswered = std::min(firstAnswered, delay.count());
      ++heard;
    } else {
      lastUnanswered = std::max(lastUnanswered, delay.count());
      if (again == Exchange::issued) {
        EXPECT_EQ(exchange(token, device, "pad").first, Exchange::refused);
        ++unused;
      } else {
        ++usedUnheard;
      }
    }
  }
  std::printf("invite races (answers from %.1f ms): %d unused, %d used without an answer, %d answered\n",
              firstAnswered * 1e3, unused, usedUnheard, heard);
}

}  // namespace
}  // namespace orvane
