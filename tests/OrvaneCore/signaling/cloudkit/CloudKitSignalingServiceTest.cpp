// Record-store signalling on the in-memory database: host registration and discovery, the request, offer,
// answer and candidate exchange, retries, push, and safe release mid-poll.
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"

#include <gmock/gmock.h>

#include <algorithm>

#include "OrvaneCore/signaling/cloudkit/InMemoryCloudKitDatabase.h"
#include "tests/OrvaneCore/signaling/cloudkit/CloudKitTestSupport.h"

namespace orvane {
namespace {

using test::await;
using test::makeRecord;
using Op = InMemoryCloudKitDatabase::Operation;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr const char* kPush = "OrvaneCKSignalingPush";

class CloudKitServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<CloudKitSignalingService> make(SignalingRole role, std::string hostID, std::string name) {
    return CloudKitSignalingService::create(db, role, std::move(hostID), std::move(name), exec, center, Console(sink));
  }
  void putHost(const std::string& id, const std::string& name, Seconds age) {
    db->put(makeRecord("SDKHost", "orvane-host-" + id,
                       {{"hostID", id}, {"machineName", name},
                        {"lastSeen", exec.wallNow() - std::chrono::duration_cast<WallTime::duration>(age)}}));
  }
  void putRequest(std::string answer = "") {
    db->put(makeRecord("SDKSession", "orvane-session-H1",
                       {{"offerSDP", std::string()}, {"answerSDP", answer}, {"sessionID", std::string("orvane-session-H1")}}));
  }
  void putCandidate(const std::string& name, std::vector<std::pair<std::string, CKValue>> fields,
                    std::string fromRole = "pad", std::string session = "orvane-session-H1") {
    fields.emplace_back("sessionID", session);
    fields.emplace_back("fromRole", fromRole);
    db->put(makeRecord("ICECandidate", name, std::move(fields)));
  }
  // Lines since the last call.
  Lines lines() {
    Lines all = sink.lines();
    Lines fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
  }

  ManualExecutor exec;
  std::shared_ptr<InMemoryCloudKitDatabase> db = std::make_shared<InMemoryCloudKitDatabase>();
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>();
  CapturingLogSink sink;
  std::size_t seen = 0;
  std::shared_ptr<CloudKitSignalingService> host = make(SignalingRole::mac, "H1", "Studio");
  int requests = 0;
  std::vector<SignalingMessage> hostGot;
};

TEST_F(CloudKitServiceTest, RegistrationRemovesSameNameRecordsBeatsAndStopUnregisters) {
  putHost("OLD", "Studio", 100s);
  putHost("OTHER", "Laptop", 100s);
  db->put(makeRecord("SDKHost", "stray", {{"hostID", std::string("X")}, {"machineName", std::string("Studio")}}));
  host->start();
  exec.runUntilIdle();
  EXPECT_EQ(lines(), (Lines{
                         "[Orvane:mac] startPolling() hostID=H1, sessionRecord=orvane-session-H1",
                         "[Orvane:mac] registerHost: deleted stale record hostID=OLD",
                         "[Orvane:mac] registerHost: deleted stale record hostID=X",
                         "[Orvane:mac] registerHost: Studio, hostID=H1",
                         "[Orvane:mac] poll: fetch error (Unknown Item (11): record 'orvane-session-H1' not found), "
                         "trying query fallback",
                     }));
  const auto hosts = db->records("SDKHost");
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0].string("hostID"), "OTHER");
  EXPECT_EQ(hosts[1].date("lastSeen"), exec.wallNow());
  ASSERT_EQ(db->subscriptions().count("orvane-db"), 1u);
  EXPECT_TRUE(db->subscriptions().at("orvane-db").shouldSendContentAvailable);

  exec.advance(30s);
  EXPECT_EQ(db->find(CKRecordID{"orvane-host-H1", host->zoneID()})->date("lastSeen"), exec.wallNow());

  auto unnamed = make(SignalingRole::mac, "H2", "");
  unnamed->refreshHostRegistration();
  exec.runUntilIdle();
  EXPECT_TRUE(sink.hasLine("[Orvane:mac] registerHost: Mac, hostID=H2"));

  host->stop();
  exec.runUntilIdle();
  EXPECT_FALSE(db->find(CKRecordID{"orvane-host-H1", host->zoneID()}));
  const int fetches = db->calls(Op::fetchRecord);
  exec.advance(40s);
  center->post(kPush);
  exec.runUntilIdle();
  EXPECT_EQ(db->calls(Op::fetchRecord), fetches);
}

TEST_F(CloudKitServiceTest, DiscoveryKeepsFreshReadableHostsNewestFirst) {
  auto pad = make(SignalingRole::pad, "", "iPad");
  EXPECT_TRUE(await(exec, pad->listHosts()).empty());
  EXPECT_EQ(lines(), Lines{"[Orvane] discoverHosts: query error: Zone Not Found (26): zone 'Orvane' does not exist"});

  putHost("A", "Alpha", 599s);
  putHost("B", "Beta", 600s);
  db->put(makeRecord("SDKHost", "orvane-host-C", {{"hostID", std::string("C")}, {"machineName", std::string("Gamma")},
                                                  {"lastSeen", std::string("today")}}));
  db->put(makeRecord("SDKHost", "orvane-host-D", {{"machineName", std::string("Delta")}, {"lastSeen", exec.wallNow()}}));
  db->put(makeRecord("SDKHost", "orvane-host-E", {{"hostID", std::string("E")}, {"lastSeen", exec.wallNow()}}));
  putHost("F", "Foxtrot", 10.5s);
  putHost("G", "Evil\n[Orvane:mac] forged", 1s);
  const auto hosts = await(exec, pad->listHosts());
  ASSERT_EQ(hosts.size(), 3u);
  EXPECT_EQ(hosts[0].id, "G");
  EXPECT_EQ(hosts[1], (HostInfo{"F", "Foxtrot", exec.wallNow() - 10500ms}));
  EXPECT_EQ(hosts[2].id, "A");
  EXPECT_EQ(lines(), (Lines{
                         "[Orvane] discoverHosts: 7 record(s) found",
                         "[Orvane] discoverHosts: accepted host 'Alpha' age=599s",
                         "[Orvane] discoverHosts: skipped host 'Beta' \u2014 too stale (age=600s)",
                         "[Orvane] discoverHosts: missing/wrong-type lastSeen on orvane-host-C",
                         "[Orvane] discoverHosts: missing hostID on orvane-host-D",
                         "[Orvane] discoverHosts: missing machineName on orvane-host-E",
                         "[Orvane] discoverHosts: accepted host 'Foxtrot' age=10s",
                         "[Orvane] discoverHosts: accepted host 'Evil?[Orvane:mac] forged' age=1s",
                     }));
}

TEST_F(CloudKitServiceTest, PadAndHostExchangeOfferAnswerAndCandidatesOnceEach) {
  auto pad = make(SignalingRole::pad, "", "iPad");
  std::vector<SignalingMessage> padGot;
  host->onConnectionRequested = [&] {
    ++requests;
    spawnDetached(exec, [&]() -> Task<void> {
      co_await host->sendOffer("OFFER");
      ICECandidateInfo candidate{"candidate:h", 0, "0"};  // named: GCC 12 miscompiles braced temporaries in co_await
      co_await host->sendICECandidate(candidate);
    });
  };
  host->onMessage = [&](const SignalingMessage& m) { hostGot.push_back(m); };
  pad->onMessage = [&](const SignalingMessage& m) {
    padGot.push_back(m);
    if (!m.get<SignalingMessage::Offer>()) return;
    spawnDetached(exec, [&]() -> Task<void> {
      co_await pad->sendAnswer("ANSWER");
      ICECandidateInfo candidate{"candidate:p", 1, std::nullopt};
      co_await pad->sendICECandidate(candidate);
    });
  };
  await(exec, host->clearSession());
  host->start();
  pad->start();  // does nothing for a pad
  exec.runUntilIdle();
  const auto hosts = await(exec, pad->listHosts());
  ASSERT_EQ(hosts.size(), 1u);
  lines();
  await(exec, pad->sendConnectionRequest(hosts[0]));
  EXPECT_EQ(pad->hostID(), "H1");
  exec.advance(3s);
  exec.advance(5s);  // later polls deliver nothing twice
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(padGot, (std::vector<SignalingMessage>{SignalingMessage::Offer{"OFFER"},
                                                   SignalingMessage::IceCandidate{{"candidate:h", 0, "0"}}}));
  EXPECT_EQ(hostGot, (std::vector<SignalingMessage>{SignalingMessage::Answer{"ANSWER"},
                                                    SignalingMessage::IceCandidate{{"candidate:p", 1, std::nullopt}}}));
  const Lines all = sink.lines();
  for (const char* line : {"[Orvane:pad] sendConnectionRequest: request written for host H1",
                           "[Orvane:pad] startPolling() hostID=H1, sessionRecord=orvane-session-H1",
                           "[Orvane:mac] poll: connection request received", "[Orvane:mac] sendOffer: sdpLen=5",
                           "[Orvane:pad] sendAnswer: OK (attempt 1)", "[Orvane:mac] poll: delivering answer",
                           "[Orvane:mac] poll: delivered 1 new ICE candidate(s) (total seen: 1)",
                           "[Orvane:pad] poll: delivered 1 new ICE candidate(s) (total seen: 1)"}) {
    EXPECT_TRUE(sink.hasLine(line)) << line;
  }
  for (const char* pattern : {R"(\[Orvane:mac\] sendOffer: OK \(attempt 1\), changeTag=[0-9a-fA-F]{16})",
                              R"(\[Orvane:pad\] poll: offer found \(len=5, changeTag=[0-9a-fA-F]{16}\), delivering)"}) {
    EXPECT_THAT(all, ::testing::Contains(::testing::MatchesRegex(pattern)).Times(1)) << pattern;
  }
  const auto candidates = db->records("ICECandidate");
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[1].fields(), (std::map<std::string, CKValue>{{"fromRole", std::string("pad")},
                                                                    {"sdp", std::string("candidate:p")},
                                                                    {"sdpMLineIndex", std::int32_t{1}},
                                                                    {"sessionID", std::string("orvane-session-H1")}}));

  // The next session: records cleared, the host stays listed, a new request is reported.
  std::vector<std::string> deleted;
  db->beforeOperation = [&](Op op, const std::string& name) {
    if (op == Op::deleteRecord) deleted.push_back(name);
  };
  await(exec, host->resetForNextSession());
  exec.runUntilIdle();
  EXPECT_TRUE(db->records("ICECandidate").empty());
  EXPECT_EQ(std::count(deleted.begin(), deleted.end(), "orvane-host-H1"), 0);
  EXPECT_TRUE(db->find(CKRecordID{"orvane-host-H1", host->zoneID()}));
  EXPECT_TRUE(host->polling());
  await(exec, pad->sendConnectionRequest(hosts[0]));
  exec.advance(1s);
  EXPECT_EQ(requests, 2);
}

TEST_F(CloudKitServiceTest, RequestIsReportedOnceUntilResetAndAnswerWaitsForTheOffer) {
  host->onConnectionRequested = [&] { ++requests; };
  host->onMessage = [&](const SignalingMessage& m) { hostGot.push_back(m); };
  putRequest("LEFTOVER");  // an old record with an empty offer counts as a request
  host->start();
  exec.runUntilIdle();
  EXPECT_EQ(requests, 1);
  exec.advance(3s);
  EXPECT_EQ(requests, 1);
  EXPECT_TRUE(hostGot.empty());  // no answer before our offer

  host->resetConnectionRequest();
  EXPECT_EQ(sink.lines().back(), "[Orvane:mac] resetConnectionRequest: will retry on next poll");
  exec.advance(1s);
  EXPECT_EQ(requests, 2);

  await(exec, host->sendOffer("O"));
  exec.advance(1s);
  EXPECT_EQ(hostGot, std::vector<SignalingMessage>{SignalingMessage::Answer{"LEFTOVER"}});
  EXPECT_EQ(requests, 2);
}

TEST_F(CloudKitServiceTest, OfferRetriesAfterOneTwoAndFourSecondsThenGivesUp) {
  await(exec, db->saveZone(CKRecordZone{host->zoneID()}));
  int failures = 0;
  db->beforeOperation = [&](Op op, const std::string&) {
    if (op == Op::upsert && failures-- > 0) throw CloudKitError(CKErrorCode::serviceUnavailable, "busy");
  };
  for (int failing : {3, 4}) {
    failures = failing;
    const double start = exec.now();
    double endedAt = -1;
    bool threw = false;
    lines();
    auto task = spawn(exec, [&]() -> Task<void> {
      try {
        co_await host->sendOffer("SDP");
      } catch (const CloudKitError&) {
        threw = true;
      }
      endedAt = exec.now() - start;
    });
    exec.advance(6.5s);
    EXPECT_LT(endedAt, 0);
    exec.advance(0.5s);
    EXPECT_DOUBLE_EQ(endedAt, 7.0) << failing;
    EXPECT_EQ(threw, failing == 4);
    Lines expected{"[Orvane:mac] sendOffer: sdpLen=3"};
    for (int n = 1; n <= failing; ++n) {
      expected.push_back("[Orvane:mac] sendOffer: attempt " + std::to_string(n) +
                         " failed: Service Unavailable (6): busy");
      if (n < 4) expected.push_back("[Orvane:mac] sendOffer: retry " + std::to_string(n) + "/3\u2026");
    }
    Lines got = lines();
    if (failing == 3) {
      ASSERT_EQ(got.size(), expected.size() + 1);
      EXPECT_EQ(got.back().rfind("[Orvane:mac] sendOffer: OK (attempt 4), changeTag=", 0), 0u);
      got.pop_back();
    }
    EXPECT_EQ(got, expected);
  }
}

TEST_F(CloudKitServiceTest, PushPollsAtOnceOnlyWhilePolling) {
  host->onConnectionRequested = [&] { ++requests; };
  host->start();
  exec.advance(0.5s);
  putRequest();
  center->post(kPush);
  exec.runUntilIdle();
  EXPECT_EQ(requests, 1);  // half-way through the pause, without waiting for the timer

  auto pad = make(SignalingRole::pad, "", "iPad");
  const int before = db->calls(Op::fetchRecord);
  for (int i = 0; i < 5; ++i) center->post(kPush);  // folded into one pass of the host; the pad is not polling
  exec.runUntilIdle();
  EXPECT_EQ(db->calls(Op::fetchRecord), before + 1);

  host.reset();  // released without stop(): its observer and loops go with it
  center->post(kPush);
  exec.advance(5s);
  EXPECT_EQ(db->calls(Op::fetchRecord), before + 1);
}

TEST_F(CloudKitServiceTest, CandidateRecordsAreDeliveredOnceAndOnlyWhenReadable) {
  host->onMessage = [&](const SignalingMessage& m) { hostGot.push_back(m); };
  putCandidate("wide", {{"sdp", std::string("a")}, {"sdpMLineIndex", std::int64_t{3}}, {"sdpMid", std::string("v")}});
  putCandidate("sdp-int", {{"sdp", std::int32_t{1}}});
  putCandidate("huge-index", {{"sdp", std::string("b")}, {"sdpMLineIndex", std::int64_t{1} << 40}});
  putCandidate("text-index", {{"sdp", std::string("c")}, {"sdpMLineIndex", std::string("1")}});
  putCandidate("mid-int", {{"sdp", std::string("d")}, {"sdpMid", std::int32_t{0}}});
  putCandidate("bare", {{"sdp", std::string("e")}});
  putCandidate("own", {{"sdp", std::string("f")}}, "mac");
  putCandidate("elsewhere", {{"sdp", std::string("g")}}, "pad", "orvane-session-H2");
  host->start();
  exec.advance(3s);
  EXPECT_EQ(hostGot, (std::vector<SignalingMessage>{SignalingMessage::IceCandidate{{"a", 3, "v"}},
                                                    SignalingMessage::IceCandidate{{"e", 0, std::nullopt}}}));
  EXPECT_TRUE(sink.hasLine("[Orvane:mac] poll: delivered 2 new ICE candidate(s) (total seen: 2)"));

  // stop() from inside a delivery ends the pass: nothing after it arrives.
  putCandidate("late1", {{"sdp", std::string("h")}});
  putCandidate("late2", {{"sdp", std::string("i")}});
  host->onMessage = [&](const SignalingMessage& m) {
    hostGot.push_back(m);
    host->stop();
  };
  exec.advance(3s);
  EXPECT_EQ(hostGot.size(), 3u);
}

TEST_F(CloudKitServiceTest, ReleasingTheServiceMidPollOrInsideACallbackIsSafe) {
  db->latency = 0.25s;  // every operation waits, so passes overlap and outlive the owner
  putRequest();
  host->onConnectionRequested = [&] {
    ++requests;
    host.reset();  // the owner lets go from inside the callback
  };
  host->start();
  exec.advance(0.3s);
  for (int i = 0; i < 3; ++i) {  // three overlapping passes
    center->post(kPush);
    exec.runUntilIdle();
  }
  exec.advance(5s);
  EXPECT_EQ(requests, 1);
  EXPECT_FALSE(host);

  auto other = make(SignalingRole::mac, "H1", "Studio");
  other->onConnectionRequested = [&] { ++requests; };
  other->start();
  exec.advance(1.1s);  // a pass is waiting on the database
  other.reset();
  exec.advance(5s);
  EXPECT_EQ(requests, 1);
}

TEST(CloudKitHostID, AnUppercaseVersion4UuidCreatedOnceThenReadBack) {
  InMemoryUserDefaults defaults;
  defaults.set("OrvaneHostID", std::string());
  const std::string id = CloudKitSignalingService::loadOrCreateHostID(defaults);
  EXPECT_THAT(id, ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
  EXPECT_EQ(defaults.string("OrvaneHostID"), id);
  EXPECT_EQ(CloudKitSignalingService::loadOrCreateHostID(defaults), id);
}

}  // namespace
}  // namespace orvane
