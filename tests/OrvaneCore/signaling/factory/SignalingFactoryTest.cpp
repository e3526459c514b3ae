#include <gtest/gtest.h>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneCore/signaling/factory/SignalingFactory.h"
#include "OrvaneCore/signaling/websocket/MockWebSocketTransport.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"
#include "tests/support/TempDir.h"

using namespace orvane;

namespace {

TEST(SignalingFactory, BuildsAnUnstartedTricklingWebSocketServiceWithAnEmptyTokenWhenNoneIsGiven) {
  ManualExecutor exec;
  CapturingLogSink logs;
  auto mock = std::make_shared<MockWebSocketTransport>();
  SignalingFactory::Options options;
  options.logSink = &logs;
  options.makeTransport = [&] { return mock; };
  const Url server = *Url::parse("wss://signal.example");

  BuiltSignaling built = SignalingFactory::make(SignalingBackend::webSocket, SignalingRole::mac, "H1", "Studio", server,
                                                std::nullopt, exec, options);
  EXPECT_TRUE(built.trickle);
  auto* service = dynamic_cast<WebSocketSignalingService*>(built.service.get());
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->transport(), mock);
  exec.runUntilIdle();
  EXPECT_FALSE(mock->connected);  // not started

  built.service->start();
  exec.runUntilIdle();
  EXPECT_EQ(mock->lastAuthorization, "Bearer ");
  EXPECT_EQ(mock->sentTexts, std::vector<std::string>{R"({"type":"hello","role":"mac","deviceId":"H1","deviceName":"Studio"})"});
  built.service->stop();

  // The production transport by default: its thread starts and stops cleanly.
  BuiltSignaling real = SignalingFactory::make(SignalingBackend::webSocket, SignalingRole::pad, "P", "Pad", server,
                                               std::string("t"), exec);
  EXPECT_NE(real.service, nullptr);
}

TEST(SignalingFactory, BuildsAnUnstartedRecordStoreServiceThatWaitsForGathering) {
  ManualExecutor exec;
  CapturingLogSink logs;
  SignalingFactory::Options options;
  options.logSink = &logs;
  test::TempDir dir;
  options.recordStorePath = dir.path / "records.sqlite";
  const Url server = *Url::parse("wss://signal.example");

  BuiltSignaling pad = SignalingFactory::make(SignalingBackend::cloudKit, SignalingRole::pad, "P1", "Pad", server,
                                              std::string("unused"), exec, options);
  BuiltSignaling mac = SignalingFactory::make(SignalingBackend::cloudKit, SignalingRole::mac, "H1", "Studio", server,
                                              std::nullopt, exec, options);
  EXPECT_FALSE(pad.trickle);
  auto* padService = dynamic_cast<CloudKitSignalingService*>(pad.service.get());
  auto* macService = dynamic_cast<CloudKitSignalingService*>(mac.service.get());
  ASSERT_NE(padService, nullptr);
  ASSERT_NE(macService, nullptr);
  EXPECT_EQ(padService->hostID(), "");
  EXPECT_EQ(macService->hostID(), "H1");
  EXPECT_EQ(macService->machineName(), "Studio");
  exec.runUntilIdle();
  EXPECT_TRUE(logs.lines().empty());  // not started
}

}  // namespace
