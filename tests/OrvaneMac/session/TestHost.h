#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/identity/AuthClient.h"
#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/peer/fake/FakeEngine.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneCore/signaling/websocket/mock/MockWebSocketTransport.h"
#include "OrvaneMac/capture/ScreenCaptureManager.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"
#include "tests/support/TempDir.h"

namespace orvane::test {

// The auth endpoint: answers with a session token, or fails with `failure`.
class FakeAuthClient final : public AuthClient {
 public:
  std::optional<int> failWithStatus;
  int exchanges = 0;

  Task<AppleAuthResult> exchange(std::string, std::string, std::string, std::string) override {
    ++exchanges;
    if (failWithStatus) throw AppleAuthError::http(*failWithStatus);
    co_return AppleAuthResult{"session-token", "user-1"};
  }
  Task<void> deleteAccount(std::string) override { co_return; }
};

// A whole host on a given platform: the mock WebSocket transport, the fake
// WebRTC engine and an auth endpoint that signs in at once. A subclass owns
// the platform and the main executor, calls build() once they exist, and
// says how to run what is due.
class TestHost {
 public:
  virtual ~TestHost() = default;

  // Runs everything due now on the main executor.
  virtual void runUntilIdle() = 0;

  // --- Driving
  void start() {
    spawnDetached(*main_, coordinator->start());
    runUntilIdle();
    if (auto* records = dynamic_cast<CloudKitSignalingService*>(coordinator->signalingService().get())) {
      recordStores_.push_back(records->database());
    }
  }
  void stop() {
    spawnDetached(*main_, coordinator->stop());
    runUntilIdle();
  }
  MockWebSocketTransport& transport() { return *transports.back(); }
  void server(const std::string& frame) {
    transport().simulateText(frame);
    runUntilIdle();
  }
  void requestConnection() { server(R"({"type":"connectRequest","fromDeviceId":"P1"})"); }
  void peerGone() { server(R"({"type":"peerGone"})"); }
  rtc::FakePeerConnection& pc() { return *engine.factory->last(); }
  rtc::FakeDataChannel& channel() { return *pc().channelsCreated().at(0); }
  void ice(rtc::IceConnectionState state) {
    pc().fireIceConnectionState(state);
    runUntilIdle();
  }
  // Start, request, connect, open the channel: a session where events flow.
  void connectSession() {
    start();
    requestConnection();
    ice(rtc::IceConnectionState::connected);
    channel().open();
    runUntilIdle();
  }
  void receive(const ControlEvent& event) {
    channel().receive(*encodeControlEvent(event));
    runUntilIdle();
  }

  // --- Observing
  ConnectionState state() const { return coordinator->connectionState(); }
  std::vector<ControlEvent> sent() {
    std::vector<ControlEvent> events;
    if (engine.factory->last() == nullptr || pc().channelsCreated().empty()) return events;
    for (const std::string& text : channel().sentText()) {
      auto decoded = decodeControlEvent(text);
      if (decoded.ok()) events.push_back(decoded.value());
    }
    return events;
  }
  template <typename Case>
  std::vector<Case> sentOf() {
    std::vector<Case> found;
    for (const ControlEvent& event : sent()) {
      if (const auto* c = event.get<Case>()) found.push_back(*c);
    }
    return found;
  }
  int framesOfType(const std::string& type) {
    int count = 0;
    for (const std::string& text : transport().sentTexts) {
      if (text.find("\"type\":\"" + type + "\"") != std::string::npos) ++count;
    }
    return count;
  }
  bool logged(std::string_view message) const { return log.hasMessage(message); }

  CapturingLogSink log;
  TempDir records;
  rtc::FakeEngine engine;
  InMemoryUserDefaults defaults;
  std::vector<std::shared_ptr<MockWebSocketTransport>> transports;
  std::shared_ptr<FakeAuthClient> auth = std::make_shared<FakeAuthClient>();
  std::shared_ptr<InMemorySessionStore> store = std::make_shared<InMemorySessionStore>();
  std::string storeService, storeAccount;
  std::shared_ptr<MacSessionCoordinator> coordinator;

 protected:
  // A stopped record-store backend still removes the host's record on the
  // store's own thread and resumes on the main executor: a test ends only
  // once those stores are closed, or their thread outlives its directory.
  bool recordStoresClosed() const {
    return std::all_of(recordStores_.begin(), recordStores_.end(), [](const auto& s) { return s.expired(); });
  }

  void build(Executor& main, SessionPorts ports, std::vector<std::string> applicationPathPrefixes) {
    main_ = &main;
    SessionEnvironment environment{engine, defaults};
    environment.machineName = "Studio";
    environment.signalingOptions.makeTransport = [this] {
      transports.push_back(std::make_shared<MockWebSocketTransport>());
      return transports.back();
    };
    environment.signalingOptions.recordStorePath = records.path / "records.sqlite";
    environment.peerEnvironment.interfaces = [] { return std::vector<InterfaceAddress>(); };
    environment.peerEnvironment.osVersion = [] { return OsVersion{6, 1}; };
    environment.makeAuthClient = [this](Url) { return auth; };
    environment.applicationPathPrefixes = std::move(applicationPathPrefixes);
    environment.makeSessionStore = [this](std::string service, std::string account) {
      storeService = service;
      storeAccount = account;
      return store;
    };
    environment.logSink = &log;
    coordinator = MacSessionCoordinator::create(main, ports, environment);
    coordinator->requestAppleIdentityToken = []() -> Task<std::string> { co_return "apple-identity-token"; };
  }

 private:
  Executor* main_ = nullptr;
  std::vector<std::weak_ptr<CloudKitDatabaseProtocol>> recordStores_;
};

}  // namespace orvane::test
