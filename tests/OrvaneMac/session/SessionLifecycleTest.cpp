// The session coordinator's life on the sim platform: permissions and sign-in at start, the connection state
// table, what a connection request builds and a teardown releases, and a restart retiring the old backend.
#include <functional>

#include "OrvaneCore/peer/AppVersion.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneMac/input/TextFieldObserver.h"
#include "tests/OrvaneMac/session/SessionFixture.h"

using namespace orvane;
using namespace orvane::test;
using rtc::IceConnectionState;
using Kind = ConnectionState::Kind;

namespace {

class Session : public SessionFixture {};

TEST_F(Session, AMissingPermissionLeavesIdleAndBuildsNothing) {
  desktop.trusted = false;
  start();
  EXPECT_EQ(state(), ConnectionState::idle());
  EXPECT_EQ(coordinator->signalingService(), nullptr);
  EXPECT_TRUE(transports.empty());
  EXPECT_FALSE(coordinator->permissions().accessibilityGranted());

  desktop.trusted = true;
  session.screenCaptureAllowed = false;
  start();
  EXPECT_EQ(state(), ConnectionState::idle());
  EXPECT_EQ(coordinator->peerManager(), nullptr);
  EXPECT_TRUE(coordinator->permissions().accessibilityGranted());
  EXPECT_FALSE(coordinator->permissions().screenRecordingGranted());
}

TEST_F(Session, WebSocketStartSignsInAndGoesAvailable) {
  std::vector<std::string> published;
  coordinator->onConnectionStateChanged = [&](const ConnectionState& s) { published.push_back(describe(s)); };
  start();
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_EQ(published, std::vector<std::string>{"available"});
  EXPECT_EQ(storeService, "com.kelbrin.Orvane.session");
  EXPECT_EQ(storeAccount, "orvane-session-token@signal.orvane.app");
  EXPECT_EQ(store->sessionToken(), "session-token");
  ASSERT_EQ(transports.size(), 1u);
  EXPECT_TRUE(transport().connected);
  EXPECT_EQ(transport().lastAuthorization, "Bearer session-token");
  EXPECT_EQ(framesOfType("hello"), 1);
  // The host id is created once and kept.
  EXPECT_EQ(defaults.string("OrvaneHostID"), coordinator->deviceId());
  EXPECT_EQ(coordinator->machineName(), "Studio");

  // A stored token is used without signing in again.
  start();
  EXPECT_EQ(auth->exchanges, 1);
  EXPECT_EQ(transports.size(), 2u);
  EXPECT_EQ(state(), ConnectionState::available());
}

TEST_F(Session, CloudKitStartNeedsNoSignIn) {
  coordinator->settings().setSignalingBackend(SignalingBackend::cloudKit);
  coordinator->requestAppleIdentityToken = nullptr;
  start();
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_NE(dynamic_cast<CloudKitSignalingService*>(coordinator->signalingService().get()), nullptr);
  EXPECT_EQ(auth->exchanges, 0);
  EXPECT_FALSE(coordinator->peerManager()->trickle());
}

TEST_F(Session, StopDuringSignInWinsOverTheStartItInterrupted) {
  auto [resolver, token] = makeOneShot<std::string>();
  coordinator->requestAppleIdentityToken = [token = token]() -> Task<std::string> { co_return co_await token; };
  start();
  EXPECT_EQ(state(), ConnectionState::idle());
  stop();
  resolver.resolve("late-token");
  main.runUntilIdle();
  EXPECT_EQ(state(), ConnectionState::idle());
  EXPECT_TRUE(transports.empty());
}

TEST_F(Session, ConnectionRequestStartsCaptureAndSendsTheOffer) {
  start();
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::waitingForPad());
  EXPECT_EQ(framesOfType("offer"), 1);
  ASSERT_NE(capture.latest(), nullptr);
  EXPECT_TRUE(capture.latest()->running);
  EXPECT_NE(coordinator->textFieldObserver(), nullptr);
  EXPECT_TRUE(coordinator->controlGuard().hasTap());
  ASSERT_EQ(pc().channelsCreated().size(), 1u);
  EXPECT_EQ(channel().label(), "control");
}

TEST_F(Session, OfferFailureFailsWithItsDescription) {
  start();
  const int byes = framesOfType("bye");
  engine.factory->refuseConnections = true;
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::failed("peerConnection is nil"));
  EXPECT_EQ(coordinator->textFieldObserver(), nullptr);
  EXPECT_EQ(framesOfType("bye"), byes + 1);  // the backend is reset for the next request
}

TEST_F(Session, RefusedCaptureReturnsToAvailableAndClosesThePeer) {
  start();
  capture.contentFailure = "not permitted";
  session.screenCaptureAllowed = false;
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_GE(pc().closeCount(), 1);
  EXPECT_EQ(coordinator->textFieldObserver(), nullptr);
  EXPECT_FALSE(coordinator->permissions().screenRecordingGranted());
}

TEST_F(Session, ConnectedSendsVersionThenScreenInfoAfterOneSecond) {
  start();
  requestConnection();
  ice(IceConnectionState::connected);
  channel().open();
  main.runUntilIdle();
  EXPECT_EQ(state(), ConnectionState::connected());
  const std::vector<events::PeerVersion> version{{AppVersion::build(), AppVersion::marketing()}};
  EXPECT_EQ(sentOf<events::PeerVersion>(), version);
  EXPECT_TRUE(sentOf<events::ScreenInfo>().empty());
  EXPECT_EQ(coordinator->sleepAssertionID(), 0u);

  main.advance(std::chrono::milliseconds(999));
  EXPECT_TRUE(sentOf<events::ScreenInfo>().empty());
  main.advance(std::chrono::milliseconds(1));
  const std::vector<events::ScreenInfo> screen{{1440, 900, 2.0}};
  EXPECT_EQ(sentOf<events::ScreenInfo>(), screen);
  ASSERT_EQ(session.heldAssertions().size(), 1u);
  EXPECT_EQ(session.heldAssertions().begin()->second.type, "PreventUserIdleDisplaySleep");
  EXPECT_NE(coordinator->sleepAssertionID(), 0u);

  // A second connected report (completed) changes nothing and takes no second assertion.
  ice(IceConnectionState::completed);
  main.advance(std::chrono::seconds(2));
  EXPECT_EQ(session.assertionsCreated(), 1);
  EXPECT_EQ(sentOf<events::PeerVersion>().size(), 1u);
}

TEST_F(Session, DisconnectTearsDownAndKeepsSignallingUp) {
  connectSession();
  main.advance(std::chrono::seconds(1));
  coordinator->stopInjection();
  ASSERT_EQ(session.heldAssertions().size(), 1u);
  ice(IceConnectionState::disconnected);
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_TRUE(session.heldAssertions().empty());
  EXPECT_EQ(coordinator->sleepAssertionID(), 0u);
  EXPECT_EQ(coordinator->textFieldObserver(), nullptr);
  EXPECT_FALSE(coordinator->controlGuard().hasTap());
  EXPECT_FALSE(coordinator->injectionDisabled());
  EXPECT_FALSE(coordinator->controlGuard().policy().injectionDisabled());
  EXPECT_FALSE(coordinator->captureManager().isCapturing());
  EXPECT_FALSE(transport().closed);

  // Ready for the next tablet at once.
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::waitingForPad());
  EXPECT_EQ(framesOfType("offer"), 2);
  EXPECT_EQ(main.stalls(), 0u);  // no step of the cycle held the main executor
}

TEST_F(Session, TeardownWithinTheFirstSecondTakesNoAssertion) {
  connectSession();
  ice(IceConnectionState::disconnected);
  main.advance(std::chrono::seconds(2));
  EXPECT_EQ(session.assertionsCreated(), 0);
  EXPECT_TRUE(sentOf<events::ScreenInfo>().empty());
}

TEST_F(Session, DisconnectDuringCaptureStartLeavesNoObserverBehind) {
  start();
  engine.factory->script.holdAt = "createOffer";
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::waitingForPad());
  EXPECT_TRUE(capture.latest()->running);
  coordinator->peerManager()->onDisconnected();
  EXPECT_EQ(state(), ConnectionState::available());
  pc().release();
  main.runUntilIdle();
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_EQ(coordinator->textFieldObserver(), nullptr);
  EXPECT_FALSE(coordinator->controlGuard().hasTap());
}

// Every row of the state table, from each state the row names: a fresh host
// is brought to the state, the trigger fires, and the state that follows is checked.
struct Transition {
  const char* name;
  void (*reach)(SimHost&);
  void (*trigger)(SimHost&);
  ConnectionState expected;
};

void idle(SimHost&) {}
void available(SimHost& h) { h.start(); }
void waiting(SimHost& h) {
  h.start();
  h.requestConnection();
}
void connected(SimHost& h) { h.connectSession(); }
void failed(SimHost& h) {
  h.start();
  h.engine.factory->refuseConnections = true;
  h.requestConnection();
  h.engine.factory->refuseConnections = false;
}
void startNoPermission(SimHost& h) {
  h.session.screenCaptureAllowed = false;
  h.start();
}
void startNoTokenSource(SimHost& h) {
  h.coordinator->requestAppleIdentityToken = nullptr;
  h.start();
}
void startTokenFails(SimHost& h) {
  h.store->setSessionToken(std::nullopt);
  h.auth->failWithStatus = 401;
  h.start();
}
void startCloudKit(SimHost& h) {
  h.coordinator->settings().setSignalingBackend(SignalingBackend::cloudKit);
  h.start();
}
void request(SimHost& h) { h.requestConnection(); }
void offerFails(SimHost& h) {
  h.engine.factory->refuseConnections = true;
  h.requestConnection();
}
void captureRefused(SimHost& h) {
  h.capture.contentFailure = "not permitted";
  h.requestConnection();
}
// The manager's own callbacks, as it delivers them on the main executor.
void iceConnected(SimHost& h) {
  if (auto manager = h.coordinator->peerManager()) manager->onConnected();
}
void iceDisconnected(SimHost& h) {
  if (auto manager = h.coordinator->peerManager()) manager->onDisconnected();
}
void peerGone(SimHost& h) {
  if (!h.transports.empty()) h.peerGone();
}
void stopAll(SimHost& h) { h.stop(); }

const auto kIdle = ConnectionState::idle();
const auto kAvailable = ConnectionState::available();
const auto kWaiting = ConnectionState::waitingForPad();
const auto kConnected = ConnectionState::connected();
const auto kOfferFailed = ConnectionState::failed("peerConnection is nil");

const Transition kTransitions[] = {
    {"start without permission from available", available, startNoPermission, kIdle},
    {"start without permission from connected", connected, startNoPermission, kIdle},
    {"start without token source from available", available, startNoTokenSource,
     ConnectionState::failed("Sign in required")},
    {"start with failing sign-in from idle", idle, startTokenFails,
     ConnectionState::failed("Sign in failed: The server answered 401")},
    {"start from failed", failed, available, kAvailable},
    {"start with cloudKit from idle", idle, startCloudKit, kAvailable},
    {"request from available", available, request, kWaiting},
    {"request from connected", connected, request, kWaiting},
    {"request from failed", failed, request, kWaiting},
    {"offer failure while waiting", available, offerFails, kOfferFailed},
    {"capture refused while waiting", available, captureRefused, kAvailable},
    {"connected while waiting", waiting, iceConnected, kConnected},
    {"connected while available", available, iceConnected, kAvailable},
    {"disconnected while waiting", waiting, iceDisconnected, kAvailable},
    {"disconnected while connected", connected, iceDisconnected, kAvailable},
    {"disconnected while failed", failed, iceDisconnected, kAvailable},
    {"disconnected while available", available, iceDisconnected, kAvailable},
    {"disconnected while idle", idle, iceDisconnected, kIdle},
    {"peer gone while waiting", waiting, peerGone, kAvailable},
    {"peer gone while failed", failed, peerGone, kAvailable},
    {"peer gone while connected", connected, peerGone, kConnected},
    {"peer gone while available", available, peerGone, kAvailable},
    {"stop while idle", idle, stopAll, kIdle},
    {"stop while waiting", waiting, stopAll, kIdle},
    {"stop while connected", connected, stopAll, kIdle},
    {"stop while failed", failed, stopAll, kIdle},
};

TEST(SessionStateTable, EveryTransition) {
  for (const Transition& row : kTransitions) {
    SCOPED_TRACE(row.name);
    SimHost host;
    row.reach(host);
    row.trigger(host);
    host.main.runUntilIdle();
    EXPECT_EQ(describe(host.coordinator->connectionState()), describe(row.expected));
  }
}

class SessionReports : public SessionFixture {};

TEST_F(SessionReports, CaptureStallAndTextFocusReachTheTablet) {
  desktop.addApp({77, "Editor", "org.editor"});
  const auto window = desktop.addWindow(77, "Doc", Rect(0, 0, 800, 600));
  const auto field = desktop.addElement(window, "AXTextField", Rect(10, 10, 200, 20));
  desktop.activate(77);
  connectSession();
  main.advance(std::chrono::seconds(9));  // a stream that never delivers
  EXPECT_EQ(sentOf<events::CaptureStalled>(), std::vector<events::CaptureStalled>{{true}});
  capture.latest()->deliverFrame(1.0);
  main.advance(std::chrono::seconds(1));
  EXPECT_EQ(sentOf<events::CaptureStalled>().back(), events::CaptureStalled{false});

  desktop.focus(field);
  main.runUntilIdle();
  // The first report states where focus was when the session began.
  const std::vector<events::TextFieldFocused> focus{{false}, {true}};
  EXPECT_EQ(sentOf<events::TextFieldFocused>(), focus);
}

TEST_F(SessionReports, BecomingActiveRefreshesTheCloudKitRegistrationOnly) {
  auto registrations = [&] {
    int count = 0;
    for (const std::string& line : log.lines()) count += line.starts_with("[Orvane:mac] registerHost: Studio");
    return count;
  };
  session.becomeActive();  // idle: nothing to refresh
  coordinator->settings().setSignalingBackend(SignalingBackend::cloudKit);
  start();
  ASSERT_TRUE(main.runUntil([&] { return registrations() >= 1; }, std::chrono::seconds(5)));
  const int before = registrations();
  session.becomeActive();
  EXPECT_TRUE(main.runUntil([&] { return registrations() > before; }, std::chrono::seconds(5)));
}

class Restart : public SessionFixture {};

TEST_F(Restart, StartDuringASessionEndsItAndRetiresTheOldBackend) {
  connectSession();
  main.advance(std::chrono::seconds(1));
  auto oldManager = coordinator->peerManager();
  auto& oldTransport = transport();
  start();
  EXPECT_EQ(state(), ConnectionState::available());
  EXPECT_TRUE(oldTransport.closed);
  EXPECT_EQ(transports.size(), 2u);
  EXPECT_TRUE(session.heldAssertions().empty());
  EXPECT_EQ(coordinator->textFieldObserver(), nullptr);

  // The replaced manager and backend no longer move the state.
  oldManager->onConnected();
  oldTransport.simulateText(R"({"type":"connectRequest","fromDeviceId":"P1"})");
  main.runUntilIdle();
  EXPECT_EQ(state(), ConnectionState::available());
  requestConnection();
  EXPECT_EQ(state(), ConnectionState::waitingForPad());
}

TEST_F(Restart, StartWithAPermissionGoneStopsTheRunningSession) {
  connectSession();
  main.advance(std::chrono::seconds(1));
  desktop.trusted = false;
  start();
  EXPECT_EQ(state(), ConnectionState::idle());
  EXPECT_TRUE(transport().closed);
  EXPECT_TRUE(session.heldAssertions().empty());
  EXPECT_FALSE(coordinator->captureManager().isCapturing());
}

}  // namespace
