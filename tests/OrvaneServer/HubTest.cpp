// The signalling hub's rules: hello first, users isolated, frames relayed between paired devices, peerGone,
// replaced sockets, rate and socket limits, revocation; on one instance, and on two with pads and hosts apart.
#include <gtest/gtest.h>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneServer/Hub.h"
#include "tests/OrvaneServer/HubMesh.h"

using namespace orvane;
using namespace orvane::server;

namespace {

std::string hello(const std::string& role, const std::string& device, const std::string& name = "Name") {
  return R"({"type":"hello","role":")" + role + R"(","deviceId":")" + device + R"(","deviceName":")" + name + R"("})";
}
std::string connect(const std::string& target) {
  return R"({"type":"connectRequest","targetDeviceId":")" + target + R"("})";
}
const std::string kListHosts = R"({"type":"listHosts"})";

// The frames `out` sends to `socket`, decoded.
std::vector<WSEnvelope> framesTo(const HubActions& out, SocketId socket) {
  std::vector<WSEnvelope> frames;
  for (const auto& a : out) {
    if (a.kind == HubAction::Kind::send && a.socket == socket) frames.push_back(wsDecode(a.text).value());
  }
  return frames;
}

// The error code of the single frame `out` holds for `socket`, or its type when it is no error.
std::string reply(const HubActions& out, SocketId socket) {
  auto frames = framesTo(out, socket);
  if (frames.size() != 1 || out.size() != 1) return "expected exactly one frame, got " + std::to_string(out.size());
  return frames[0].code.value_or(frames[0].type);
}

class HubTest : public ::testing::TestWithParam<HubMesh::Layout> {
 protected:
  SocketId join(const std::string& user, const std::string& device, const std::string& role,
                const std::string& name = "Name") {
    auto id = hub.open({user, device, role, name});
    EXPECT_TRUE(id);
    EXPECT_EQ(reply(hub.frame(*id, hello(role, device, name)), *id), "welcome");
    return *id;
  }
  std::vector<WSHost> hosts(SocketId id) {
    auto frames = framesTo(hub.frame(id, kListHosts), id);
    return frames.size() == 1 && frames[0].hosts ? *frames[0].hosts : std::vector<WSHost>{};
  }

  ManualClock clock;
  CapturingLogSink sink;
  HubMesh hub{clock, Logger("test", "hub", sink), HubLimits{5, 50, 100}, GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Layouts, HubTest,
                         ::testing::Values(HubMesh::Layout::one, HubMesh::Layout::padsAndHostsApart),
                         [](const auto& info) { return info.param == HubMesh::Layout::one ? "OneInstance" : "TwoInstances"; });

TEST_P(HubTest, AnythingButAGoodHelloFirstIsABadRequestAndChangesNothing) {
  auto pad = *hub.open({"alice", "pad-1", "pad", ""});
  const char* junk[] = {"", "{", "[]", R"({"type":7})", R"({"type":"teleport"})", R"({"type":"welcome"})",
                        R"({"type":"listHosts"})", R"({"type":"offer","sdp":"v=0"})"};
  for (const char* frame : junk) EXPECT_EQ(reply(hub.frame(pad, frame), pad), "bad_request") << frame;
  for (auto bad : {hello("tablet", "pad-1"), hello("pad", ""), hello("pad", "pad\\u00011"),
                   hello("pad", "pad-1", std::string(300, 'n'))}) {
    EXPECT_EQ(reply(hub.frame(pad, bad), pad), "bad_request") << bad;
  }
  // A token speaks for its own device only.
  EXPECT_EQ(reply(hub.frame(pad, hello("pad", "pad-2")), pad), "not_authorized");
  EXPECT_EQ(reply(hub.frame(pad, hello("mac", "pad-1")), pad), "not_authorized");
  EXPECT_EQ(reply(hub.frame(pad, kListHosts), pad), "bad_request");  // still not registered

  auto welcome = framesTo(hub.frame(pad, hello("pad", "pad-1")), pad);
  ASSERT_EQ(welcome.size(), 1U);
  EXPECT_EQ(welcome[0].type, "welcome");
  EXPECT_EQ(welcome[0].serverTime, 1767225600);
  EXPECT_EQ(reply(hub.frame(pad, hello("pad", "pad-1")), pad), "bad_request");
  EXPECT_EQ(reply(hub.frame(pad, R"({"type":"error","code":"x"})"), pad), "bad_request");
}

TEST_P(HubTest, UsersOnlyEverSeeAndReachTheirOwnHosts) {
  auto mac = join("alice", "mac-1", "mac", "Studio");
  auto pad = join("alice", "pad-1", "pad");
  auto bobsMac = join("bob", "mac-9", "mac");
  auto bobsPad = join("bob", "pad-9", "pad");
  clock.advance(Seconds(30));
  hub.control(mac);  // a ping refreshes lastSeen

  EXPECT_EQ(hosts(pad), (std::vector<WSHost>{{"mac-1", "Studio", 1767225630}}));
  EXPECT_EQ(hosts(bobsPad), (std::vector<WSHost>{{"mac-9", "Name", 1767225600}}));
  EXPECT_TRUE(hosts(mac).empty());  // not itself

  // Foreign, unknown, offline and non-host targets all look the same.
  for (auto target : {"mac-9", "nope", "pad-1"}) EXPECT_EQ(reply(hub.frame(pad, connect(target)), pad), "host_offline");
  auto late = join("alice", "mac-2", "mac");
  hub.close(late);
  EXPECT_EQ(reply(hub.frame(pad, connect("mac-2")), pad), "host_offline");
  EXPECT_EQ(reply(hub.frame(mac, connect("mac-1")), mac), "bad_request");  // hosts do not request
  EXPECT_EQ(reply(hub.frame(bobsMac, R"({"type":"offer","sdp":"v=0"})"), bobsMac), "host_offline");
  EXPECT_TRUE(hub.frame(bobsMac, R"({"type":"bye"})").empty());  // unpaired bye is the normal end
}

TEST_P(HubTest, PairedDevicesGetEachOthersFramesUnchangedWithTheSenderNamed) {
  auto mac = join("alice", "mac-1", "mac", "Studio");
  auto pad = join("alice", "pad-1", "pad", "Kitchen iPad");
  auto request = framesTo(hub.frame(pad, connect("mac-1")), mac);
  ASSERT_EQ(request.size(), 1U);
  EXPECT_EQ(request[0].type, "connectRequest");
  EXPECT_EQ(request[0].fromDeviceId, "pad-1");
  EXPECT_EQ(request[0].fromName, "Kitchen iPad");

  const std::string sdp = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\na=fingerprint:sha-256 AB/CD \xc3\xa9\r\n";
  WSEnvelope offer(WSType::offer);
  offer.sdp = sdp;
  offer.id = "m1";
  offer.fromDeviceId = "spoofed";
  offer.targetDeviceId = "mac-9";
  offer.hosts = std::vector<WSHost>{{"x", "y", 1}};
  auto got = framesTo(hub.frame(mac, wsEncode(offer)), pad);
  ASSERT_EQ(got.size(), 1U);
  WSEnvelope expected(WSType::offer);
  expected.id = "m1";
  expected.sdp = sdp;
  expected.fromDeviceId = "mac-1";
  expected.fromName = "Studio";
  EXPECT_EQ(got[0], expected);

  EXPECT_EQ(hub.frame(pad, R"({"type":"ice","sdp":"c:1 ::1 9","sdpMLineIndex":0,"sdpMid":"0"})"),
            (HubActions{{HubAction::Kind::send, mac,
                         R"({"type":"ice","fromDeviceId":"pad-1","fromName":"Kitchen iPad","sdp":"c:1 ::1 9",)"
                         R"("sdpMLineIndex":0,"sdpMid":"0"})",
                         0, {}}}));
  EXPECT_EQ(framesTo(hub.frame(pad, R"({"type":"bye"})"), mac).at(0).type, "bye");
  EXPECT_EQ(reply(hub.frame(pad, R"({"type":"answer"})"), pad), "bad_request");           // no sdp
  EXPECT_EQ(framesTo(hub.frame(pad, R"({"type":"answer","sdp":"a"})"), mac).size(), 1U);  // bye keeps the pair
}

TEST_P(HubTest, PeerGoneWhenThePartnerLeavesOrPairsAnew) {
  auto mac1 = join("alice", "mac-1", "mac");
  auto mac2 = join("alice", "mac-2", "mac");
  auto pad1 = join("alice", "pad-1", "pad");
  hub.frame(pad1, connect("mac-1"));
  EXPECT_TRUE(framesTo(hub.frame(pad1, connect("mac-1")), mac1).size() == 1);  // asking again: no peerGone

  // The host is taken over by another pad: the first one learns it.
  auto pad2 = *hub.open({"alice", "pad-2", "pad", ""});
  hub.frame(pad2, hello("pad", "pad-2"));
  auto out = hub.frame(pad2, connect("mac-1"));
  EXPECT_EQ(framesTo(out, pad1).at(0).type, "peerGone");
  EXPECT_EQ(framesTo(out, pad1).at(0).peerDeviceId, "mac-1");
  EXPECT_EQ(reply(hub.frame(pad1, R"({"type":"answer","sdp":"a"})"), pad1), "host_offline");

  // The pad moves on to another host: the first host learns it.
  out = hub.frame(pad2, connect("mac-2"));
  EXPECT_EQ(framesTo(out, mac1).at(0).type, "peerGone");
  EXPECT_EQ(framesTo(out, mac2).at(0).type, "connectRequest");

  out = hub.close(mac2);
  EXPECT_EQ(reply(out, pad2), "peerGone");
  EXPECT_TRUE(hub.close(pad1).empty());
}

TEST_P(HubTest, ANewerSocketOfTheSameDeviceReplacesTheOlder) {
  auto old = join("alice", "mac-1", "mac");
  auto pad = join("alice", "pad-1", "pad");
  hub.frame(pad, connect("mac-1"));

  auto fresh = *hub.open({"alice", "mac-1", "mac", ""});
  auto out = hub.frame(fresh, hello("mac", "mac-1", "Renamed"));
  EXPECT_EQ(framesTo(out, pad).at(0).type, "peerGone");
  EXPECT_EQ(framesTo(out, fresh).at(0).type, "welcome");
  EXPECT_TRUE(
      std::count(out.begin(), out.end(),
                 HubAction{HubAction::Kind::close, old, "replaced by a newer connection", limits::kCloseReplaced, {}}));
  EXPECT_EQ(hosts(pad), (std::vector<WSHost>{{"mac-1", "Renamed", 1767225600}}));
  EXPECT_TRUE(hub.close(old).empty());  // already gone: no second peerGone
  EXPECT_EQ(hosts(pad).size(), 1U);
}

TEST_P(HubTest, LimitsCloseOnlyTheSocketThatExceedsThem) {
  auto mac = join("alice", "mac-1", "mac");
  auto pad = join("alice", "pad-1", "pad");
  hub.frame(pad, connect("mac-1"));
  // hello and connectRequest spent 2 of the burst of 100; the rest passes.
  int passed = 0;
  HubActions out;
  while ((out = hub.frame(pad, R"({"type":"ice","sdp":"c"})")).size() == 1) ++passed;
  EXPECT_EQ(passed, 98);
  EXPECT_EQ(out.at(0), (HubAction{HubAction::Kind::send, mac, R"({"type":"peerGone","peerDeviceId":"pad-1"})", 0, {}}));
  EXPECT_EQ(out.at(1).kind, HubAction::Kind::close);
  EXPECT_EQ(out.at(1).closeCode, 1008);
  EXPECT_TRUE(hub.frame(pad, kListHosts).empty());  // forgotten

  // Time refills the bucket at 50 per second; pings spend it too.
  for (int i = 0; i < 99; ++i) ASSERT_TRUE(hub.control(mac).empty());
  clock.advance(Seconds(1));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(hub.control(mac).empty());
  EXPECT_EQ(hub.control(mac).at(0).kind, HubAction::Kind::close);

  // Sockets per user (5 here, all of alice's are gone now): a full account
  // does not stop another one.
  std::optional<SocketId> first = hub.open({"alice", "", "", ""});
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(hub.open({"alice", "", "", ""}));
  EXPECT_FALSE(hub.open({"alice", "", "", ""}));
  EXPECT_TRUE(hub.open({"bob", "", "", ""}));
  hub.close(*first);
  EXPECT_TRUE(hub.open({"alice", "", "", ""}));
}

TEST_P(HubTest, RevokingAUserClosesAllItsSocketsAndNoOneElses) {
  auto mac = join("alice", "mac-1", "mac");
  auto pad = join("alice", "pad-1", "pad");
  auto bob = join("bob", "pad-9", "pad");
  hub.frame(pad, connect("mac-1"));
  auto out = hub.revokeUser("alice");
  ASSERT_EQ(out.size(), 2U);  // two closes, no peerGone between the doomed
  for (const auto& a : out) {
    EXPECT_EQ(a.kind, HubAction::Kind::close);
    EXPECT_EQ(a.closeCode, limits::kCloseRevoked);
    EXPECT_TRUE(a.socket == mac || a.socket == pad);
  }
  EXPECT_EQ(hub.socketCount(), 1U);
  EXPECT_EQ(reply(hub.frame(bob, kListHosts), bob), "hosts");
}

// What only a cluster has: a device moving between instances, an instance that
// stops, messages that reach no one, and what other instances send that is not
// to be believed.
class HubClusterTest : public ::testing::Test {
 protected:
  SocketId join(int instance, const std::string& device, const std::string& role) {
    auto id = *mesh.openOn(instance, {"alice", device, role, ""});
    EXPECT_EQ(reply(mesh.frame(id, hello(role, device)), id), "welcome");
    return id;
  }
  std::vector<std::string> hostIds(SocketId pad) {
    std::vector<std::string> ids;
    for (const auto& frame : framesTo(mesh.frame(pad, kListHosts), pad)) {
      for (const auto& host : frame.hosts.value_or(std::vector<WSHost>{})) ids.push_back(host.deviceId);
    }
    return ids;
  }

  ManualClock clock;
  CapturingLogSink sink;
  HubMesh mesh{clock, Logger("test", "hub", sink), HubLimits{5, 50, 100}, HubMesh::Layout::padsAndHostsApart};
};

TEST_F(HubClusterTest, AHostThatReconnectsToAnotherInstanceReplacesItsOldSocketThere) {
  auto pad = join(0, "pad-1", "pad");
  auto old = join(1, "mac-1", "mac");
  mesh.frame(pad, connect("mac-1"));
  clock.advance(std::chrono::milliseconds(5));
  auto fresh = *mesh.openOn(0, {"alice", "mac-1", "mac", ""});
  auto out = mesh.frame(fresh, hello("mac", "mac-1"));
  EXPECT_TRUE(std::count(out.begin(), out.end(),
                         HubAction{HubAction::Kind::close, old, "replaced by a newer connection", limits::kCloseReplaced, {}}));
  EXPECT_EQ(framesTo(out, pad).at(0).type, "peerGone");
  EXPECT_EQ(hostIds(pad), std::vector<std::string>{"mac-1"});
  EXPECT_EQ(framesTo(mesh.frame(pad, connect("mac-1")), fresh).at(0).type, "connectRequest");

  // The old instance's late news of its own older record replaces nothing.
  auto stale = mesh.deliver(0, mesh.hub(0).remoteDevice(presenceKey("alice", "mac-1"),
                                                        DeviceRecord{"b", old / 2, "mac", "Old", 1, 1}));
  EXPECT_TRUE(stale.empty());
  EXPECT_EQ(reply(mesh.frame(pad, R"({"type":"answer","sdp":"a"})"), fresh), "answer");
}

TEST_F(HubClusterTest, AStoppedInstanceIsAPeerGoneAndItsHostsLeaveTheLists) {
  auto pad = join(0, "pad-1", "pad");
  join(1, "mac-1", "mac");
  join(1, "mac-2", "mac");
  mesh.frame(pad, connect("mac-1"));
  mesh.setReachable(1, false);
  // Until its presence lapses, messages to it come back as the peer having left.
  EXPECT_EQ(reply(mesh.frame(pad, R"({"type":"offer","sdp":"o"})"), pad), "peerGone");
  EXPECT_EQ(reply(mesh.frame(pad, connect("mac-2")), pad), "host_offline");
  EXPECT_EQ(hostIds(pad), (std::vector<std::string>{"mac-1", "mac-2"}));
  EXPECT_TRUE(mesh.lapse(1, 0).empty());  // nothing paired any more
  EXPECT_TRUE(hostIds(pad).empty());
  EXPECT_EQ(reply(mesh.frame(pad, connect("mac-1")), pad), "host_offline");
}

TEST_F(HubClusterTest, ALapsedInstanceEndsThePairingsOfItsDevices) {
  auto pad = join(0, "pad-1", "pad");
  join(1, "mac-1", "mac");
  mesh.frame(pad, connect("mac-1"));
  auto out = mesh.lapse(1, 0);
  ASSERT_EQ(framesTo(out, pad).size(), 1U);
  EXPECT_EQ(framesTo(out, pad)[0].peerDeviceId, "mac-1");
  EXPECT_TRUE(mesh.frame(pad, R"({"type":"bye"})").empty());
}

TEST_F(HubClusterTest, WhatAnotherInstanceSendsIsCheckedBeforeAnythingChanges) {
  auto pad = join(0, "pad-1", "pad");
  auto mac = join(1, "mac-1", "mac");
  auto bobsMac = *mesh.openOn(1, {"bob", "mac-9", "mac", ""});
  mesh.frame(bobsMac, hello("mac", "mac-9"));
  mesh.frame(pad, connect("mac-1"));
  Hub& b = mesh.hub(1);
  const auto message = [&](PeerMessage m) {
    if (m.fromInstance.empty()) m.fromInstance = "a";
    return mesh.deliver(1, b.peerMessage(encodePeerMessage(m)));
  };
  PeerMessage offer{PeerMessage::Kind::route, "", pad / 2, mac / 2, "", "", "", "", R"({"type":"offer","sdp":"o"})"};
  EXPECT_EQ(reply(message(offer), mac), "offer");

  // Not decodable, or a routed frame that is not signalling: dropped.
  for (std::string junk : {std::string(), std::string("{"), std::string(R"({"kind":"route"})"), std::string(600000, 0x20)}) {
    EXPECT_TRUE(mesh.deliver(1, b.peerMessage(junk)).empty()) << junk.substr(0, 20);
  }
  for (auto frame : {R"({"type":"welcome"})", R"({"type":"hosts","hosts":[]})", "nonsense"}) {
    auto m = offer;
    m.frame = frame;
    EXPECT_TRUE(message(m).empty()) << frame;
  }
  // From a socket that is not the partner: refused back, nothing delivered.
  auto impostor = offer;
  impostor.from = offer.from + 2;
  auto out = message(impostor);
  EXPECT_TRUE(framesTo(out, mac).empty());
  // A connect naming another user's host, or a host by the wrong id, pairs nothing.
  for (auto [user, target, to] : {std::tuple{"alice", "mac-9", bobsMac}, {"bob", "mac-9", mac}}) {
    PeerMessage m{PeerMessage::Kind::connect, "", 99, to / 2, user, target, "pad-x", "X", ""};
    EXPECT_TRUE(framesTo(message(m), to).empty());
  }
  EXPECT_EQ(reply(message(offer), mac), "offer");  // the real pairing still stands
  // Broken presence records are ignored.
  EXPECT_TRUE(mesh.deliver(0, mesh.hub(0).remoteDevice("no-newline", DeviceRecord{"b", 1, "mac", "", 1, 1})).empty());
  EXPECT_FALSE(decodeDeviceRecord(R"({"instance":"b","socket":0,"role":"mac","name":"","sinceMs":1,"lastSeen":1})"));
  EXPECT_FALSE(decodeDeviceRecord(R"({"instance":"b","socket":1,"role":"root","name":"","sinceMs":1,"lastSeen":1})"));
  EXPECT_EQ(hostIds(pad), std::vector<std::string>{"mac-1"});
}

}  // namespace

namespace {

// Relay credentials in "welcome": issued per user, none without an issuer, and
// renewed on the first traffic after half their life, with nothing else changed.
TEST(HubRelays, WelcomeCarriesTheUsersCredentialsAndRenewsThemAfterHalfTheirLife) {
  ManualClock clock;
  CapturingLogSink sink;
  std::vector<std::pair<std::string, std::int64_t>> asked;
  IceServerIssuer issuer = [&](const std::string& user, std::int64_t now) -> std::optional<IssuedIceServers> {
    asked.emplace_back(user, now);
    if (user == "nobody") return std::nullopt;
    return IssuedIceServers{{IceServerInfo{{"turn:r:3478"}, std::to_string(now + 100) + ":" + user, "pw"}},
                            now, now + 100};
  };
  Hub hub(clock, Logger("test", "hub", sink), HubLimits{5, 50, 100}, issuer);
  Hub plain(clock, Logger("test", "hub", sink), HubLimits{5, 50, 100});
  const std::int64_t t0 = 1767225600;

  auto pad = *hub.open({"alice", "pad-1", "pad", ""});
  auto first = framesTo(hub.frame(pad, hello("pad", "pad-1")), pad);
  ASSERT_EQ(first.size(), 1U);
  ASSERT_TRUE(first[0].iceServers);
  EXPECT_EQ(*first[0].iceServers,
            (std::vector<IceServerInfo>{{{"turn:r:3478"}, std::to_string(t0 + 100) + ":alice", "pw"}}));
  auto lone = *hub.open({"nobody", "pad-2", "pad", ""});
  EXPECT_FALSE(framesTo(hub.frame(lone, hello("pad", "pad-2")), lone).at(0).iceServers);
  auto other = *plain.open({"alice", "pad-1", "pad", ""});
  EXPECT_FALSE(framesTo(plain.frame(other, hello("pad", "pad-1")), other).at(0).iceServers);

  // Before half-life: pings and frames bring nothing new.
  clock.advance(Seconds(49));
  EXPECT_TRUE(hub.control(pad).empty());
  EXPECT_TRUE(hub.control(lone).empty());
  EXPECT_EQ(asked.size(), 2U);
  // After it: a ping brings a fresh set, once; a frame is still answered too.
  clock.advance(Seconds(1));
  auto renewed = framesTo(hub.control(pad), pad);
  ASSERT_EQ(renewed.size(), 1U);
  EXPECT_EQ(renewed[0].type, "welcome");
  EXPECT_EQ(renewed[0].iceServers->at(0).username, std::to_string(t0 + 150) + ":alice");
  EXPECT_TRUE(hub.control(pad).empty());
  clock.advance(Seconds(50));
  auto both = framesTo(hub.frame(pad, kListHosts), pad);
  ASSERT_EQ(both.size(), 2U);
  EXPECT_EQ(both[0].type, "welcome");
  EXPECT_EQ(both[1].type, "hosts");
  EXPECT_EQ(asked.back(), (std::pair<std::string, std::int64_t>{"alice", t0 + 100}));
  // A socket that never said hello gets nothing: its user is not yet a device.
  auto silent = *hub.open({"alice", "mac-1", "mac", ""});
  clock.advance(Seconds(500));
  EXPECT_TRUE(hub.control(silent).empty());
}

}  // namespace
