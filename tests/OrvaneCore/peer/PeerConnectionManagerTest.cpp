// The peer-connection manager on the fake engine: what each role builds and sends, candidates filtered and
// buffered, failures surfaced, control events queued across threads, and no callback from a replaced attempt
// or a destroyed manager.
#include "OrvaneCore/peer/PeerConnectionManager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "OrvaneCore/peer/fake/FakeEngine.h"
#include "OrvaneCore/runtime/ManualExecutor.h"

using namespace orvane;
using namespace std::chrono_literals;
using rtc::IceConnectionState;

namespace {

// Keeps what the manager sends; offers and answers fail while `failSends` is set.
class RecordingSignaling final : public SignalingServiceProtocol {
 public:
  void start() override {}
  void stop() override {}
  Task<std::vector<HostInfo>> listHosts() override { co_return std::vector<HostInfo>(); }
  Task<void> sendConnectionRequest(HostInfo) override { co_return; }
  Task<void> sendOffer(std::string sdp) override { return keep(&offers, std::move(sdp)); }
  Task<void> sendAnswer(std::string sdp) override { return keep(&answers, std::move(sdp)); }
  Task<void> sendICECandidate(ICECandidateInfo candidate) override {
    candidates.push_back(std::move(candidate));
    co_return;
  }
  Task<void> clearSession() override { co_return; }
  Task<void> resetForNextSession() override { co_return; }
  std::optional<std::vector<IceServerInfo>> issuedIceServers() const override { return issued; }

  std::optional<std::vector<IceServerInfo>> issued;
  std::vector<std::string> offers, answers;
  std::vector<ICECandidateInfo> candidates;
  bool failSends = false;

 private:
  Task<void> keep(std::vector<std::string>* into, std::string sdp) {
    if (failSends) throw std::runtime_error("offline");
    into->push_back(std::move(sdp));
    co_return;
  }
};

ControlEvent move(int i) { return events::MoveWindow{i, 0}; }
std::string json(int i) { return *encodeControlEvent(move(i)); }
ICECandidateInfo remote(std::string sdp) { return {std::move(sdp), 0, "0"}; }

const std::string kVpnHost = "candidate:1 1 udp 2122260223 10.8.0.2 50000 typ host generation 0 ufrag ab network-id 1";
const std::string kLanHost =
    "candidate:2 1 udp 2122260223 192.168.1.20 50001 typ host generation 0 ufrag ab network-id 1";

class PeerManager : public ::testing::Test {
 protected:
  ~PeerManager() override {
    startTask.cancel();
    manager.reset();
    exec.runUntilIdle();
  }

  CapturingLogSink logs;
  ManualExecutor exec;
  rtc::FakeEngine engine;
  std::shared_ptr<RecordingSignaling> signaling = std::make_shared<RecordingSignaling>();
  std::vector<InterfaceAddress> interfaces{{"eth0", AF_INET, "192.168.1.20", true},
                                           {"tun0", AF_INET, "10.8.0.2", false}};
  std::shared_ptr<PeerConnectionManager> manager;
  TaskHandle startTask;
  int connected = 0, disconnected = 0;
  std::vector<ControlEvent> received;
  std::vector<std::shared_ptr<rtc::VideoTrack>> remoteTracks;

  void make(SignalingRole role, bool trickle = true, bool forceRelay = false) {
    PeerConnectionEnvironment environment;
    environment.interfaces = [this] { return interfaces; };
    environment.osVersion = [] { return OsVersion{6, 1}; };
    manager = PeerConnectionManager::create(role, signaling, std::nullopt, trickle, forceRelay, engine, exec, logs,
                                            environment);
    manager->onConnected = [this] { ++connected; };
    manager->onDisconnected = [this] { ++disconnected; };
    manager->onControlEvent = [this](const ControlEvent& event) { received.push_back(event); };
    manager->onRemoteVideoTrack = [this](std::shared_ptr<rtc::VideoTrack> track) { remoteTracks.push_back(track); };
  }
  void start() {
    startTask = spawn(exec, [m = manager]() -> Task<void> { co_await m->start(); });
    exec.runUntilIdle();
  }
  void deliver(SignalingMessage message) {
    signaling->onMessage(message);
    exec.runUntilIdle();
  }
  rtc::FakePeerConnection& pc() { return *engine.factory->last(); }
  rtc::FakeDataChannel& channel() { return *pc().channelsCreated().at(0); }
  long logged(std::string_view line) const {
    auto messages = logs.messages();
    return std::count(messages.begin(), messages.end(), line);
  }
};

TEST(CandidateFilter, KeepsPhysicalHostsAndEveryOtherCandidate) {
  const auto ips = physicalIPs({{"eth0", AF_INET, "192.168.1.20", true},
                                {"wlan0", AF_INET6, "fe80::1%wlan0", true},
                                {"tun0", AF_INET, "10.8.0.2", false},
                                {"lo", AF_INET, "127.0.0.1", false},
                                {"eth0", AF_PACKET, "00:11:22:33:44:55", true}});
  EXPECT_EQ(ips, (std::set<std::string>{"192.168.1.20", "fe80::1"}));
  const std::string sdp =
      "v=0\r\n"
      "a=candidate:1 1 udp 2122 10.8.0.2 5000 typ host\r\n"
      "a=candidate:2 1 udp 2122 fe80::1 5000 typ host\r\n"
      "a=candidate:3 1 udp 1 10.8.0.2 5000 typ relay raddr 0.0.0.0 rport 0\r\n"
      "a=candidate:4 typ host x 10.8.0.2\r\n";
  EXPECT_EQ(filterSDP(sdp, ips),
            "v=0\r\n"
            "a=candidate:2 1 udp 2122 fe80::1 5000 typ host\r\n"
            "a=candidate:3 1 udp 1 10.8.0.2 5000 typ relay raddr 0.0.0.0 rport 0\r\n"
            "a=candidate:4 typ host x 10.8.0.2\r\n");
  EXPECT_EQ(filterSDP(sdp, {}), sdp);
}

TEST_F(PeerManager, PadStartBuildsABareConnectionAndSendsNothing) {
  make(SignalingRole::pad);
  start();
  EXPECT_FALSE(startTask.running());
  EXPECT_EQ(pc().constraints(), rtc::MediaConstraints());
  const auto& config = pc().configuration();
  EXPECT_EQ(config.iceTransportPolicy, rtc::IceTransportPolicy::all);
  EXPECT_EQ(config.continualGatheringPolicy, rtc::ContinualGatheringPolicy::gatherContinually);
  EXPECT_EQ(config.sdpSemantics, rtc::SdpSemantics::unifiedPlan);
  // Nothing issued: the built-in STUN server alone, no relay with a compiled-in password.
  EXPECT_EQ(config.iceServers, std::vector<rtc::IceServer>{
                                   (rtc::IceServer{{"stun:stun.l.google.com:19302"}, std::nullopt, std::nullopt})});
  EXPECT_TRUE(pc().tracksAdded().empty());
  EXPECT_TRUE(pc().channelsCreated().empty());
  EXPECT_TRUE(pc().offerConstraints().empty());
  EXPECT_TRUE(engine.factory->sources().empty());
  EXPECT_TRUE(signaling->offers.empty());
  EXPECT_EQ(logs.messages(), std::vector<std::string>{"[PCM:pad] start()"});

  auto track = std::make_shared<rtc::FakeVideoTrack>("remote", nullptr);
  pc().fireAddStream({"s", {track}});
  EXPECT_TRUE(remoteTracks.empty());  // only on the main executor
  exec.runUntilIdle();
  EXPECT_EQ(remoteTracks, std::vector<std::shared_ptr<rtc::VideoTrack>>{track});
}

// Issued relays: read anew for every attempt, joined to the built-in STUN
// server, narrowed to TURN over TCP when relay-only; explicit servers win.
TEST_F(PeerManager, EachAttemptUsesTheRelaysIssuedLast) {
  const rtc::IceServer stun{{"stun:stun.l.google.com:19302"}, std::nullopt, std::nullopt};
  make(SignalingRole::pad);
  signaling->issued = {{{"turn:r:3478?transport=udp", "turn:r:3478?transport=tcp"}, "100:u", "old"}};
  start();
  EXPECT_EQ(pc().configuration().iceServers,
            (std::vector<rtc::IceServer>{
                stun, {{"turn:r:3478?transport=udp", "turn:r:3478?transport=tcp"}, "100:u", "old"}}));
  signaling->issued = {{{"turns:r:5349"}, "200:u", "new"}};
  start();
  EXPECT_EQ(pc().configuration().iceServers, (std::vector<rtc::IceServer>{stun, {{"turns:r:5349"}, "200:u", "new"}}));

  const std::vector<IceServerInfo> mixed{{{"stun:s", "turn:a?transport=udp", "turn:a?transport=tcp"}, "1:u", "x"},
                                         {{"turns:b"}, "1:u", "y"},
                                         {{"stun:only"}, std::nullopt, std::nullopt}};
  EXPECT_EQ(iceServersFor(mixed, true),
            (std::vector<rtc::IceServer>{{{"turn:a?transport=tcp"}, "1:u", "x"}, {{"turns:b"}, "1:u", "y"}}));
  // Without any TURN over TCP, relay-only takes what TURN there is rather than none.
  EXPECT_EQ(iceServersFor({{{"stun:s", "turn:a"}, "1:u", "x"}}, true),
            (std::vector<rtc::IceServer>{{{"turn:a"}, "1:u", "x"}}));
  EXPECT_TRUE(iceServersFor({}, true).empty());

  const std::vector<rtc::IceServer> mine{{{"turn:mine"}, "me", "pw"}};
  auto explicitServers = PeerConnectionManager::create(SignalingRole::pad, signaling, mine, true, false, engine, exec,
                                                       logs);
  spawnDetached(exec, [m = explicitServers]() -> Task<void> { co_await m->start(); });
  exec.runUntilIdle();
  EXPECT_EQ(pc().configuration().iceServers, mine);
  explicitServers.reset();
  exec.runUntilIdle();
}

TEST_F(PeerManager, HostWithTrickleSendsItsOfferRightAfterTheLocalDescription) {
  signaling->issued = {{{"turn:r:3478?transport=tcp"}, "9:u", "c"}};
  make(SignalingRole::mac, true, true);
  start();
  EXPECT_FALSE(startTask.running());
  EXPECT_EQ(startTask.error(), nullptr);
  const auto& config = pc().configuration();
  EXPECT_EQ(config.iceTransportPolicy, rtc::IceTransportPolicy::relay);
  EXPECT_EQ(config.iceServers, (std::vector<rtc::IceServer>{{{"turn:r:3478?transport=tcp"}, "9:u", "c"}}));

  const auto tracks = pc().tracksAdded();
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].track->trackId(), "video0");
  EXPECT_EQ(tracks[0].streamIds, std::vector<std::string>{"stream0"});
  const auto parameters = tracks[0].sender->parametersSet();
  ASSERT_EQ(parameters.size(), 1u);
  EXPECT_EQ(parameters[0].degradationPreference, rtc::DegradationPreference::disabled);
  EXPECT_EQ(parameters[0].encodings, (std::vector<rtc::RtpEncodingParameters>(2, {8'000'000, 12'000'000})));
  EXPECT_EQ(channel().label(), "control");
  EXPECT_TRUE(channel().init().ordered);
  EXPECT_FALSE(channel().init().maxRetransmits || channel().init().maxPacketLifeTimeMs);

  rtc::MediaConstraints offerConstraints;
  offerConstraints.mandatory["OfferToReceiveVideo"] = "true";
  EXPECT_EQ(pc().offerConstraints(), std::vector<rtc::MediaConstraints>{offerConstraints});
  EXPECT_EQ(pc().localDescriptionsSet(),
            (std::vector<rtc::SessionDescription>{{rtc::SdpType::offer, "v=0\r\ns=fake-offer\r\n"}}));
  EXPECT_EQ(signaling->offers, std::vector<std::string>{"v=0\r\ns=fake-offer\r\n"});
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{
                                 "[PCM:mac] start()",
                                 "[PCM:mac] forceRelay ON → iceTransportPolicy=.relay, TURN over TCP only",
                                 "[PCM:mac] degradationPreference=0 (osv 6.1)",
                                 "[PCM:mac] sending offer (sdpLen=19)",
                             }));
}

TEST_F(PeerManager, WithoutTrickleTheOfferWaitsForGatheringOrFiveSeconds) {
  make(SignalingRole::mac, false);
  start();
  EXPECT_EQ(pc().configuration().continualGatheringPolicy, rtc::ContinualGatheringPolicy::gatherOnce);
  EXPECT_EQ(logged("[PCM:mac] waiting for ICE gathering (timeout 5s)…"), 1);
  exec.advance(2s);
  EXPECT_TRUE(signaling->offers.empty());
  pc().setLocalSdp("v=0\r\na=candidate:" + kVpnHost + "\r\na=candidate:" + kLanHost + "\r\n");
  pc().fireIceGatheringState(rtc::IceGatheringState::complete);
  exec.runUntilIdle();
  EXPECT_EQ(signaling->offers, std::vector<std::string>{"v=0\r\na=candidate:" + kLanHost + "\r\n"});

  start();
  exec.advance(4.9s);
  EXPECT_EQ(signaling->offers.size(), 1u);
  exec.advance(0.1s);
  EXPECT_EQ(signaling->offers.size(), 2u);
  EXPECT_EQ(logged("[PCM:mac] ICE gathering timed out — proceeding with available candidates"), 1);

  engine.factory->script.gatheringOnSetLocal = rtc::IceGatheringState::complete;
  logs.clear();
  start();
  EXPECT_EQ(signaling->offers.size(), 3u);
  EXPECT_EQ(logged("[PCM:mac] waiting for ICE gathering (timeout 5s)…"), 0);
  EXPECT_EQ(exec.pendingTimers(), 0u);
}

TEST_F(PeerManager, DisconnectDuringTheGatheringWaitEndsItWithoutSending) {
  make(SignalingRole::mac, false);
  start();
  ASSERT_TRUE(startTask.running());
  manager->disconnect();
  exec.runUntilIdle();
  EXPECT_FALSE(startTask.running());
  EXPECT_EQ(startTask.error(), nullptr);
  EXPECT_TRUE(signaling->offers.empty());  // the connection it described is gone
  EXPECT_EQ(exec.pendingTimers(), 0u);
  EXPECT_EQ(pc().closeCount(), 1);
}

TEST_F(PeerManager, AnAbandonedAttemptNeitherFailsNorTouchesTheNextOne) {
  make(SignalingRole::mac);
  engine.factory->script.holdAt = "createOffer";
  start();
  manager->disconnect();
  pc().release("closed");
  exec.runUntilIdle();
  EXPECT_FALSE(startTask.running());
  EXPECT_EQ(startTask.error(), nullptr);  // the owner's own disconnect is no failure
  EXPECT_TRUE(signaling->offers.empty());

  engine.factory->script.holdAt = "setRemoteDescription";
  start();
  auto previous = engine.factory->last();
  deliver(SignalingMessage::Answer{"v=0 for the previous offer"});
  engine.factory->script.holdAt.clear();
  start();
  deliver(SignalingMessage::IceCandidate{remote("a")});
  previous->release();
  exec.runUntilIdle();
  EXPECT_EQ(logged("[PCM:mac] applying 1 buffered ICE candidate(s)"), 0);
  deliver(SignalingMessage::Answer{"v=0"});
  EXPECT_EQ(pc().candidatesAdded().size(), 1u);
}

TEST_F(PeerManager, HostOfferFailuresAreThrownOutOfStart) {
  auto failure = [&]() -> std::string {
    start();
    try {
      if (startTask.error()) std::rethrow_exception(startTask.error());
    } catch (const PeerConnectionError& e) {
      return e.domain() + " " + std::to_string(e.code()) + " " + e.what();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "none";
  };
  make(SignalingRole::mac);
  engine.factory->script.descriptionMissing = true;
  EXPECT_EQ(failure(), "PeerConnectionManager -1 No SDP returned");
  engine.factory->refuseConnections = true;
  EXPECT_EQ(failure(), "PeerConnectionManager -3 peerConnection is nil");
  engine.factory->refuseConnections = false;
  engine.factory->script = {};
  signaling->failSends = true;
  EXPECT_EQ(failure(), "offline");
}

TEST_F(PeerManager, ConnectionCallbacksFollowTheIceStates) {
  make(SignalingRole::mac);
  start();
  pc().fireIceConnectionState(IceConnectionState::checking);
  pc().fireIceConnectionState(IceConnectionState::disconnected);
  pc().fireIceConnectionState(IceConnectionState::failed);
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 0);
  EXPECT_EQ(logged("[PCM:mac] pre-connect disconnected — holding connection open for a late relay candidate"), 1);
  EXPECT_EQ(logged("[PCM:mac] pre-connect FAILED — holding connection open for a late relay candidate"), 1);
  pc().fireIceConnectionState(IceConnectionState::connected);
  pc().fireIceConnectionState(IceConnectionState::completed);
  EXPECT_EQ(connected, 0);  // only on the main executor
  exec.runUntilIdle();
  EXPECT_EQ(connected, 2);
  pc().fireIceConnectionState(IceConnectionState::disconnected);
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(logged("[PCM:mac] ICE connection state → disconnected"), 2);

  // The peer closing the channel of a live connection is its leaving, while
  // ICE still reads connected; a channel that closes before is not.
  start();
  channel().setState(rtc::DataChannelState::closed);
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 1);
  start();
  channel().open();
  pc().fireIceConnectionState(IceConnectionState::connected);
  channel().setState(rtc::DataChannelState::closed);
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 2);

  // A new attempt replaces the connection: its close is not this attempt's loss.
  start();
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 2);
  pc().fireIceConnectionState(IceConnectionState::disconnected);
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 2);  // the new connection never connected
  manager->disconnect();
  exec.runUntilIdle();
  EXPECT_EQ(disconnected, 3);  // closed
  EXPECT_EQ(connected, 3);
}

TEST_F(PeerManager, RemoteCandidatesWaitForTheRemoteDescription) {
  make(SignalingRole::mac);
  deliver(SignalingMessage::IceCandidate{remote("before any connection")});
  start();
  deliver(SignalingMessage::IceCandidate{remote("a")});
  deliver(SignalingMessage::IceCandidate{remote("b")});
  EXPECT_TRUE(pc().candidatesAdded().empty());
  deliver(SignalingMessage::Offer{"ignored at the host"});
  deliver(SignalingMessage::Answer{"v=0 answer"});
  deliver(SignalingMessage::IceCandidate{remote("c")});
  EXPECT_EQ(pc().remoteDescriptionsSet(), (std::vector<rtc::SessionDescription>{{rtc::SdpType::answer, "v=0 answer"}}));
  std::vector<std::string> added;
  for (auto& c : pc().candidatesAdded()) added.push_back(c.sdp);
  EXPECT_EQ(added, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(logged("[PCM:mac] applying 2 buffered ICE candidate(s)"), 1);
  EXPECT_EQ(logged("[PCM:mac] handle: received answer (10 chars)"), 1);

  start();
  for (std::size_t i = 0; i <= PeerConnectionManager::kMaxPendingCandidates; ++i) {
    deliver(SignalingMessage::IceCandidate{remote(std::to_string(i))});
  }
  deliver(SignalingMessage::Answer{"v=0"});
  EXPECT_EQ(pc().candidatesAdded().size(), PeerConnectionManager::kMaxPendingCandidates);

  manager->disconnect();
  logs.clear();
  deliver(SignalingMessage::Answer{"late"});
  EXPECT_EQ(logs.messages(), std::vector<std::string>{
                                 "[PCM:mac] handle: ignoring answer — no active peer connection (stale session?)"});
  EXPECT_EQ(pc().remoteDescriptionsSet().size(), 1u);
}

TEST_F(PeerManager, PadAnswersTheOfferOrLogsWhereItStopped) {
  make(SignalingRole::pad, false);
  deliver(SignalingMessage::Offer{"too early"});
  EXPECT_EQ(logged("[PCM:pad] handle: ignoring offer — no active peer connection"), 1);
  start();
  deliver(SignalingMessage::IceCandidate{remote("a")});
  pc().script.answerSdp = "v=0\r\na=candidate:" + kVpnHost + "\r\n";
  pc().script.gatheringOnSetLocal = rtc::IceGatheringState::complete;
  deliver(SignalingMessage::Offer{"v=0 offer"});
  EXPECT_EQ(pc().remoteDescriptionsSet(), (std::vector<rtc::SessionDescription>{{rtc::SdpType::offer, "v=0 offer"}}));
  EXPECT_EQ(pc().candidatesAdded().size(), 1u);
  EXPECT_EQ(pc().answerConstraints(), std::vector<rtc::MediaConstraints>(1));
  EXPECT_EQ(signaling->answers, std::vector<std::string>{"v=0\r\n"});
  EXPECT_EQ(logged("[PCM:pad] handle: received offer (9 chars)"), 1);
  EXPECT_EQ(logged("[PCM:pad] sendAnswer: OK (sdpLen=5)"), 1);

  const auto failsWith = [&](auto setUp) {
    start();
    setUp(pc().script);
    logs.clear();
    deliver(SignalingMessage::Offer{"v=0"});
    return logs.records().back();
  };
  auto record = failsWith([](auto& s) { s.failSetRemote = "bad sdp"; });
  EXPECT_EQ(record.level, LogLevel::Error);
  EXPECT_EQ(record.message, "[PCM:pad] setRemoteDescription(offer): FAILED: bad sdp");
  record = failsWith([](auto& s) { s.descriptionMissing = true; });
  EXPECT_EQ(record.message,
            "[PCM:pad] createAnswer: FAILED: The operation couldn\u2019t be completed. (PCM error -2.)");
  signaling->failSends = true;
  record = failsWith([](auto& s) { s.gatheringOnSetLocal = rtc::IceGatheringState::complete; });
  EXPECT_EQ(record.message, "[PCM:pad] sendAnswer: FAILED: offline");
}

TEST_F(PeerManager, LocalCandidatesOfNonPhysicalInterfacesStayHome) {
  make(SignalingRole::mac);
  start();
  pc().fireIceCandidate({kVpnHost, 0, "0"});
  pc().fireIceCandidate({"candidate:3 1 udp 1 10.8.0.2 50002 typ relay raddr 0.0.0.0 rport 0", 0, "0"});
  pc().fireIceCandidate({kLanHost, 1, std::nullopt});
  exec.runUntilIdle();
  ASSERT_EQ(signaling->candidates.size(), 2u);
  EXPECT_EQ(signaling->candidates[1], (ICECandidateInfo{kLanHost, 1, std::nullopt}));
  EXPECT_EQ(logged("[PCM:mac] generated ICE candidate: " + kLanHost.substr(0, 80)), 1);
  EXPECT_EQ(logs.messages().size(), 5u);  // start, degradation, offer, and the two sent candidates

  // A candidate of a connection closed before its send ran is of no use.
  // disconnect() forgets the interfaces: with none physical, nothing is filtered.
  pc().fireIceCandidate({kLanHost, 0, "0"});
  manager->disconnect();
  interfaces = {{"tun0", AF_INET, "10.8.0.2", false}};
  start();
  pc().fireIceCandidate({kVpnHost, 0, "0"});
  exec.runUntilIdle();
  EXPECT_EQ(signaling->candidates.size(), 3u);
}

TEST_F(PeerManager, ControlEventsQueueUntilAChannelOpensEvenAcrossSessions) {
  make(SignalingRole::mac);
  manager->sendControlEvent(move(1));
  start();
  manager->sendControlEvent(move(2));
  EXPECT_TRUE(channel().sent().empty());
  channel().open();
  EXPECT_EQ(channel().sentText(), (std::vector<std::string>{json(1), json(2)}));
  EXPECT_EQ(logged("[PCM:mac] flushing 2 buffered control event(s)"), 1);
  EXPECT_EQ(logged("[PCM:mac] dataChannel state → open"), 1);
  manager->sendControlEvent(move(3));
  EXPECT_EQ(channel().sent().back().data, json(3));
  EXPECT_FALSE(channel().sent().back().isBinary);
  EXPECT_EQ(logs.messages().size(), 5u);

  // The pad adopts the host's channel; overflow drops the oldest events.
  make(SignalingRole::pad);
  start();
  for (int i = 0; i < static_cast<int>(PeerConnectionManager::kMaxPendingControlEvents) + 1; ++i) {
    manager->sendControlEvent(move(i));
  }
  auto adopted = std::make_shared<rtc::FakeDataChannel>("control", rtc::DataChannelInit{}, rtc::DataChannelState::open);
  pc().fireDataChannel(adopted);
  EXPECT_EQ(adopted->sent().size(), PeerConnectionManager::kMaxPendingControlEvents);
  EXPECT_EQ(adopted->sent().front().data, json(1));
  EXPECT_EQ(logged("[PCM:pad] didOpen dataChannel readyState=open"), 1);
  EXPECT_EQ(logged("[PCM:pad] control queue full — dropping buffered control event(s)"), 1);

  const auto before = logs.records().size();
  adopted->receive(json(7));
  adopted->receive("{\"type\":\"moveWindow\",\"x\":1}");
  adopted->receive("\xff garbage");
  EXPECT_TRUE(received.empty());  // only on the main executor
  exec.runUntilIdle();
  EXPECT_EQ(received, std::vector<ControlEvent>{move(7)});
  EXPECT_EQ(logs.records().size(), before);
}

TEST_F(PeerManager, EventsSentWhileTheChannelOpensAreNeverStrandedNorReordered) {
  make(SignalingRole::mac);
  for (int round = 0; round < 200; ++round) {
    start();
    auto& opening = channel();
    std::thread engineThread([&] { opening.open(); });
    int sent = 0;
    while (opening.readyState() != rtc::DataChannelState::open && sent < 900) manager->sendControlEvent(move(sent++));
    for (int i = 0; i < 20; ++i) manager->sendControlEvent(move(sent++));
    engineThread.join();
    std::vector<std::string> expected;
    for (int i = 0; i < sent; ++i) expected.push_back(json(i));
    ASSERT_EQ(opening.sentText(), expected) << "round " << round;
  }
}

TEST_F(PeerManager, FramesReachTheSourceOnlyWhileAConnectionExists) {
  make(SignalingRole::mac);
  rtc::VideoFrame frame;
  frame.timestampNs = 1;
  manager->pushVideoFrame(frame);
  start();
  frame.timestampNs = 2;
  manager->pushVideoFrame(frame);
  manager->disconnect();
  frame.timestampNs = 3;
  manager->pushVideoFrame(frame);
  ASSERT_EQ(engine.factory->sources().size(), 1u);
  EXPECT_EQ(engine.factory->sources()[0]->deliveredTimestamps(), std::vector<std::int64_t>{2});
  EXPECT_EQ(manager->localVideoTrack(), nullptr);
}

TEST_F(PeerManager, ADestroyedManagerFiresNothingFromCallbacksInFlight) {
  make(SignalingRole::mac);
  start();
  auto connection = engine.factory->last();
  auto control = connection->channelsCreated().at(0);
  control->open();
  connection->fireIceConnectionState(IceConnectionState::connected);
  control->receive(json(1));

  std::atomic<int> rounds{0};
  std::atomic<bool> stop{false};
  std::thread engineThread([&] {
    while (!stop) {
      connection->fireIceConnectionState(IceConnectionState::completed);
      connection->fireIceCandidate({kLanHost, 0, "0"});
      connection->fireIceGatheringState(rtc::IceGatheringState::complete);
      control->receive(json(2));
      ++rounds;
    }
  });
  while (rounds < 20) std::this_thread::yield();
  startTask = {};
  manager.reset();
  stop = true;
  engineThread.join();
  exec.runUntilIdle();
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(signaling->candidates.empty());
  EXPECT_FALSE(connection->attached());
  EXPECT_EQ(control->observer(), nullptr);
}

}  // namespace
