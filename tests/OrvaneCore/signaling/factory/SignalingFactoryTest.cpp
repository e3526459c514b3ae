// The signalling factory: each backend built with its trickle mode, identity and start behaviour.
#include <gtest/gtest.h>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneCore/signaling/factory/SignalingFactory.h"
#include "OrvaneCore/signaling/websocket/mock/MockWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"
#include "tests/support/TempDir.h"

using namespace orvane;

namespace {

struct SignalingFactoryTest : ::testing::Test {
  SignalingFactoryTest() {
    options.logSink = &logs;
    options.makeTransport = [this] { return mock; };
    options.recordStorePath = dir.path / "records.sqlite";
  }
  BuiltSignaling make(SignalingBackend backend, SignalingRole role, std::string id, std::optional<std::string> token) {
    return SignalingFactory::make(backend, role, id, "Studio", *Url::parse("wss://signal.example"), token, exec,
                                  options);
  }

  ManualExecutor exec;
  CapturingLogSink logs;
  test::TempDir dir;
  std::shared_ptr<MockWebSocketTransport> mock = std::make_shared<MockWebSocketTransport>();
  SignalingFactory::Options options;
};

TEST_F(SignalingFactoryTest, WebSocketServiceTricklesAndStartsOnlyWhenToldWithAnEmptyTokenWhenNoneIsGiven) {
  BuiltSignaling built = make(SignalingBackend::webSocket, SignalingRole::mac, "H1", std::nullopt);
  EXPECT_TRUE(built.trickle);
  ASSERT_NE(dynamic_cast<WebSocketSignalingService*>(built.service.get()), nullptr);
  exec.runUntilIdle();
  EXPECT_FALSE(mock->connected);
  built.service->start();
  exec.runUntilIdle();
  EXPECT_EQ(mock->lastAuthorization, "Bearer ");
  EXPECT_EQ(mock->sentTexts,
            std::vector<std::string>{R"({"type":"hello","role":"mac","deviceId":"H1","deviceName":"Studio"})"});
  built.service->stop();

  // The production transport by default: its thread starts and stops cleanly.
  options = {};
  EXPECT_NE(make(SignalingBackend::webSocket, SignalingRole::pad, "P", std::string("t")).service, nullptr);
}

TEST_F(SignalingFactoryTest, RecordStoreServiceWaitsForGatheringAndOnlyTheHostKeepsItsID) {
  BuiltSignaling pad = make(SignalingBackend::cloudKit, SignalingRole::pad, "P1", std::string("unused"));
  BuiltSignaling mac = make(SignalingBackend::cloudKit, SignalingRole::mac, "H1", std::nullopt);
  EXPECT_FALSE(pad.trickle);
  auto* padService = dynamic_cast<CloudKitSignalingService*>(pad.service.get());
  auto* macService = dynamic_cast<CloudKitSignalingService*>(mac.service.get());
  ASSERT_TRUE(padService && macService);
  EXPECT_EQ(padService->hostID(), "");
  EXPECT_EQ(macService->hostID(), "H1");
  exec.runUntilIdle();
  EXPECT_TRUE(logs.lines().empty());  // not started
}

}  // namespace
