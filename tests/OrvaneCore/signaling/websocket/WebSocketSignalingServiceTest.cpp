// The WebSocket signalling service on a mock transport: hello, host listing and its readiness wait, frames to
// callbacks, reconnect back-off, keep-alive pings, and silence after stop or destruction.
#include <gtest/gtest.h>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/websocket/mock/MockWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

// The mock, plus the URL of every connect.
struct RecordingTransport : MockWebSocketTransport {
  std::vector<std::string> urls;
  void connect(const Url& url, std::string authorization) override {
    urls.push_back(url.toString());
    MockWebSocketTransport::connect(url, std::move(authorization));
  }
};

using Listing = std::shared_ptr<std::optional<std::vector<HostInfo>>>;

class WsService : public ::testing::Test {
 protected:
  ManualExecutor exec;
  CapturingLogSink logs;
  std::shared_ptr<RecordingTransport> mock = std::make_shared<RecordingTransport>();
  std::shared_ptr<WebSocketSignalingService> service = WebSocketSignalingService::create(
      SignalingRole::pad, "P1", "Pad", *Url::parse("wss://signal.example/base"), "tok", mock, exec, logs);

  void startReady() {
    service->start();
    mock->simulateText(R"({"type":"welcome"})");
    exec.runUntilIdle();
  }
  Listing list() {
    auto out = std::make_shared<std::optional<std::vector<HostInfo>>>();
    spawnDetached(exec, [svc = service.get(), out]() -> Task<void> { *out = co_await svc->listHosts(); });
    exec.runUntilIdle();
    return out;
  }
  long sent(std::string_view type) const {
    return std::count_if(mock->sentTexts.begin(), mock->sentTexts.end(),
                         [&](const std::string& text) { return wsDecode(text).value().type == type; });
  }
  long logged(std::string_view line) const {
    auto messages = logs.messages();
    return std::count(messages.begin(), messages.end(), line);
  }
  // Seconds from now until the next connect, in steps of a quarter second.
  double untilReconnect() {
    const std::size_t before = mock->urls.size();
    const double start = exec.now();
    while (mock->urls.size() == before && exec.now() - start < 60) exec.advance(0.25s);
    return exec.now() - start;
  }
};

TEST_F(WsService, StartConnectsWithTheTokenAndSaysHelloOnly) {
  exec.advance(30s);
  EXPECT_FALSE(mock->connected);
  EXPECT_TRUE(mock->sentTexts.empty());

  service->start();
  exec.advance(19s);
  EXPECT_EQ(mock->urls, std::vector<std::string>{"wss://signal.example/base/v1/ws"});
  EXPECT_EQ(mock->lastAuthorization, "Bearer tok");
  EXPECT_EQ(mock->sentTexts, std::vector<std::string>{R"({"type":"hello","role":"pad","deviceId":"P1","deviceName":"Pad"})"});
  EXPECT_TRUE(logs.records().empty());
}

TEST_F(WsService, DeferredListingIsSentOnceOnTheFirstFrameOfEachConnection) {
  service->start();
  auto listing = list();
  EXPECT_EQ(sent("listHosts"), 0);

  mock->simulateText(R"({"type":"welcome"})");
  mock->simulateText(R"({"type":"bye"})");
  exec.advance(10s);
  EXPECT_EQ(sent("listHosts"), 1);
  EXPECT_EQ(logged("ready (first frame: welcome)"), 1);
  EXPECT_EQ(logs.messages().size(), 1u);  // neither the second frame nor the time-out logged

  mock->simulateText(R"({"type":"hosts","hosts":[{"deviceId":"H1","name":"Studio","lastSeen":90}]})");
  exec.runUntilIdle();
  ASSERT_TRUE(listing->has_value());
  EXPECT_EQ(**listing, (std::vector<HostInfo>{{"H1", "Studio", std::chrono::system_clock::time_point(90s)}}));
  EXPECT_EQ(logged("hosts reply: 1 host(s)"), 1);

  // Asked for while reconnecting: sent on the new connection once it is ready.
  mock->simulateClose();
  auto again = list();
  exec.advance(0.5s);
  EXPECT_EQ(sent("listHosts"), 1);
  mock->simulateText(R"({"type":"welcome"})");
  exec.advance(10s);
  EXPECT_EQ(sent("listHosts"), 2);
  mock->simulateText(R"({"type":"hosts","hosts":[]})");
  exec.runUntilIdle();
  EXPECT_TRUE(again->has_value());
}

TEST_F(WsService, WithoutAnyFrameTheListingGoesOutAfterTheReadyTimeout) {
  service->start();
  auto listing = list();
  exec.advance(7.5s);
  EXPECT_EQ(sent("listHosts"), 0);
  exec.advance(0.5s);
  EXPECT_EQ(sent("listHosts"), 1);
  EXPECT_EQ(logged("listHosts: ready timeout, sending best-effort"), 1);

  mock->simulateText(R"({"type":"welcome"})");
  exec.advance(10s);
  EXPECT_EQ(sent("listHosts"), 1);
  EXPECT_FALSE(listing->has_value());  // no time-out of its own
}

TEST_F(WsService, TheNewestListingWinsAndErrorsEndItEmpty) {
  startReady();
  auto first = list();
  auto second = list();
  ASSERT_TRUE(first->has_value());
  EXPECT_TRUE((*first)->empty());
  EXPECT_FALSE(second->has_value());
  mock->simulateText(R"({"type":"hosts","hosts":[{"deviceId":"H2","name":"Desk","lastSeen":0}]})");
  exec.runUntilIdle();
  ASSERT_TRUE(second->has_value());
  EXPECT_EQ((*second)->size(), 1u);

  std::vector<std::pair<std::string, std::string>> errors;
  service->onError = [&](const std::string& code, const std::string& message) { errors.emplace_back(code, message); };
  auto third = list();
  mock->simulateText(R"({"type":"error"})");
  exec.runUntilIdle();
  ASSERT_TRUE(third->has_value());
  EXPECT_TRUE((*third)->empty());
  EXPECT_EQ(errors, (std::vector<std::pair<std::string, std::string>>{{"", ""}}));
  EXPECT_EQ(logs.records().back().level, LogLevel::Error);
  EXPECT_EQ(logs.records().back().message, "server error: ");
  EXPECT_EQ(mock->urls.size(), 1u);  // the connection stays
}

TEST_F(WsService, FramesReachTheirCallbacks) {
  std::vector<SignalingMessage> messages;
  int requests = 0, gone = 0;
  service->onMessage = [&](const SignalingMessage& m) { messages.push_back(m); };
  service->onConnectionRequested = [&] { ++requests; };
  service->onPeerGone = [&] { ++gone; };
  service->start();
  for (const char* frame : {R"({"type":"connectRequest","fromDeviceId":"P9"})", R"({"type":"offer","sdp":"o"})",
                            R"({"type":"answer"})", R"({"type":"answer","sdp":"a"})",
                            R"({"type":"ice","sdp":"candidate:2","sdpMid":"0"})", R"({"type":"ice"})",
                            R"({"type":"peerGone"})", R"({"type":"hello"})", R"({"type":"listHosts"})"}) {
    mock->simulateText(frame);
  }
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(gone, 1);
  EXPECT_EQ(messages, (std::vector<SignalingMessage>{SignalingMessage::Offer{"o"}, SignalingMessage::Answer{"a"},
                                                     SignalingMessage::IceCandidate{{"candidate:2", 0, "0"}}}));
}

TEST_F(WsService, UndecodableAndUnknownFramesChangeNothing) {
  int callbacks = 0;
  service->onConnectionRequested = service->onPeerGone = [&] { ++callbacks; };
  service->start();
  mock->simulateClose();
  exec.advance(0.5s);  // reconnected; the next wait would be 1 s
  logs.clear();
  auto listing = list();
  for (const char* frame : {"", "not json", "[]", R"({"sdp":"x"})", R"({"type":7})",
                            R"({"type":"peerGone","hosts":[{"deviceId":"H"}]})", R"({"type":"Welcome"})",
                            R"({"type":"goodbye"})"}) {
    mock->simulateText(frame);
  }
  exec.runUntilIdle();
  EXPECT_TRUE(logs.records().empty());
  EXPECT_EQ(callbacks, 0);
  EXPECT_EQ(sent("listHosts"), 0);  // still waiting for readiness
  EXPECT_FALSE(listing->has_value());

  mock->simulateClose();
  EXPECT_DOUBLE_EQ(untilReconnect(), 1.0);  // the back-off counter was not reset
}

TEST_F(WsService, ClosesBackOffAndAGoodFrameResetsTheBackOff) {
  service->start();
  auto listing = list();
  mock->simulateClose(std::string("reset by peer"));
  exec.runUntilIdle();
  ASSERT_TRUE(listing->has_value());
  EXPECT_TRUE((*listing)->empty());
  EXPECT_EQ(logged("transport closed (was discovering: true)"), 1);

  std::vector<double> waits;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) mock->simulateClose();
    waits.push_back(untilReconnect());
  }
  EXPECT_EQ(waits, (std::vector<double>{0.5, 1, 2, 4, 8, 8}));
  EXPECT_EQ(logged("reconnecting (attempt 1/5)…"), 1);
  EXPECT_EQ(logged("reconnecting (attempt 6/5)…"), 1);
  EXPECT_EQ(logged("transport closed (was discovering: false)"), 5);
  EXPECT_EQ(sent("hello"), 7);  // one per connect

  mock->simulateText(R"({"type":"welcome"})");
  mock->simulateClose();
  EXPECT_DOUBLE_EQ(untilReconnect(), 0.5);
}

TEST_F(WsService, StopThenCloseSchedulesNothingAndStartBeginsAfresh) {
  service->start();
  mock->simulateClose();
  mock->simulateClose();  // the counter is at 2
  service->stop();
  EXPECT_TRUE(mock->closed);
  mock->simulateClose();  // what the transport reports after close()
  exec.advance(100s);
  EXPECT_EQ(mock->urls.size(), 1u);
  EXPECT_EQ(mock->pingCount, 0);
  EXPECT_EQ(exec.pendingTimers(), 0u);

  service->start();
  exec.runUntilIdle();
  EXPECT_EQ(mock->urls.size(), 2u);
  mock->simulateClose();
  EXPECT_DOUBLE_EQ(untilReconnect(), 0.5);
}

TEST_F(WsService, AFailedPingIsRetriedOnceAndTwoInARowCountAsAClose) {
  const std::string retry = "keepAlive ping failed (The network connection was lost.) → 短暂等待后重试一次";
  const std::string dead = "keepAlive ping failed (The network connection was lost.) → 视为连接已死，重连";
  service->start();
  mock->transientPingFailures = 1;
  exec.advance(21.5s);
  EXPECT_EQ(mock->pingCount, 1);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{retry});
  exec.advance(0.5s);  // min(20, 2) s after the failure
  EXPECT_EQ(mock->pingCount, 2);

  mock->pingShouldFail = true;
  exec.advance(20s);  // the loop went on: ping 3 fails, and so does its retry
  exec.advance(2.5s);
  EXPECT_EQ(mock->pingCount, 4);
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{retry, retry, dead, "transport closed (was discovering: false)",
                                                       "reconnecting (attempt 1/5)…"}));
  EXPECT_EQ(sent("hello"), 2);
}

TEST_F(WsService, ADestroyedServiceDoesNothingAfterwards) {
  service->start();
  auto listing = list();  // readiness time-out pending, keep-alive pending
  mock->simulateClose();  // reconnect pending
  auto again = list();
  const auto sentBefore = mock->sentTexts;
  const auto logsBefore = logs.messages().size();
  service.reset();
  exec.advance(100s);
  mock->simulateText(R"({"type":"welcome"})");
  mock->simulateClose();
  exec.advance(100s);
  EXPECT_EQ(mock->sentTexts, sentBefore);
  EXPECT_EQ(mock->urls.size(), 1u);
  EXPECT_EQ(mock->pingCount, 0);
  EXPECT_EQ(logs.messages().size(), logsBefore);
  ASSERT_TRUE(again->has_value());  // a waiting listing ends empty
  EXPECT_TRUE((*again)->empty());
}

TEST_F(WsService, RefusesAReconnectTableWithoutAUsableDelay) {
  for (std::vector<double> delays : {std::vector<double>{}, std::vector<double>{0.5, -1}}) {
    EXPECT_THROW(WebSocketSignalingService::create(SignalingRole::mac, "H", "Mac", *Url::parse("ws://h"), "", mock,
                                                   exec, logs, delays),
                 std::invalid_argument);
  }
}

TEST_F(WsService, KeepsTheLatestIssuedIceServersAcrossReconnects) {
  EXPECT_FALSE(service->issuedIceServers());
  service->start();
  mock->simulateText(R"({"type":"welcome","iceServers":[{"urls":["turn:r"],"username":"9:u","credential":"c"}]})");
  const std::vector<IceServerInfo> issued{{{"turn:r"}, "9:u", "c"}};
  EXPECT_EQ(service->issuedIceServers(), issued);
  // Refused frames and other types leave them; so does a dropped connection.
  mock->simulateText(R"({"type":"welcome","iceServers":[{"urls":["ftp:r"]}]})");
  mock->simulateText(R"({"type":"hosts","hosts":[]})");
  mock->simulateClose();
  exec.advance(0.5s);
  EXPECT_EQ(service->issuedIceServers(), issued);
  // A renewal replaces them; a server without relays clears them.
  mock->simulateText(R"({"type":"welcome","iceServers":[{"urls":["turn:r"],"username":"99:u","credential":"d"}]})");
  EXPECT_EQ(service->issuedIceServers()->at(0).username, "99:u");
  mock->simulateText(R"({"type":"welcome","serverTime":3})");
  EXPECT_FALSE(service->issuedIceServers());
  exec.runUntilIdle();
}

}  // namespace
