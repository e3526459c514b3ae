// One side of the two-process exchange: a host ("mac") or a tablet ("pad")
// running the record-store signalling on a real main loop against one SQLite
// file, with push or by polling only. Besides the service's own lines it
// prints, for the driver,
//   EVENT <name> <monotonic ms> [detail]
// and exits 0 once its side of the exchange is complete, 1 on an error, 2
// after 10 s.
//
//   ck_peer mac|pad FILE push|poll
#include <time.h>

#include <algorithm>
#include <cstdio>

#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

constexpr int kCandidates = 2;
const std::string kHostID = "ck-peer-host";

void event(const std::string& name, const std::string& detail = "") {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  Console().print("EVENT " + name + " " + std::to_string(now.tv_sec * 1e3 + now.tv_nsec / 1e6) + " " + detail);
}

struct Peer {
  SystemClock clock;
  GLibExecutor exec{clock};
  SignalingRole role = SignalingRole::mac;
  std::shared_ptr<CloudKitSignalingService> service;
  int exitCode = 2;
  bool finished = false;
  bool sentOwn = false;  // our SDP and candidates are written
  bool gotSdp = false;   // the other side's SDP arrived
  int gotCandidates = 0;

  void finish(int code, const std::string& error = "") {
    if (!error.empty()) event("error", error);
    if (std::exchange(finished, true)) return;
    exitCode = code;
    service->stop();
    exec.post([this] { exec.quit(); });  // after the host record's removal, queued by stop()
  }
  void checkDone() {
    if (sentOwn && gotSdp && gotCandidates >= kCandidates) finish(0);
  }

  // Our SDP (offer or answer), then our candidates.
  Task<void> sendOwn(std::string sdp) {
    try {
      if (role == SignalingRole::mac) {
        co_await service->sendOffer(sdp);
      } else {
        co_await service->sendAnswer(sdp);
      }
      for (int i = 0; i < kCandidates; ++i) {
        ICECandidateInfo candidate{"candidate:" + std::to_string(i) + " 1 udp 2122260223 10.0.0.1 500" +
                                       std::to_string(i) + " typ host",
                                   0, std::string("0")};
        co_await service->sendICECandidate(candidate);
      }
      sentOwn = true;
      checkDone();
    } catch (const std::exception& e) {
      finish(1, e.what());
    }
  }

  Task<void> requestSession() {
    try {
      for (;;) {  // the host may not have registered yet
        auto hosts = co_await service->listHosts();
        auto it = std::find_if(hosts.begin(), hosts.end(), [](const HostInfo& h) { return h.id == kHostID; });
        if (it != hosts.end()) {
          HostInfo host = *it;
          co_await service->sendConnectionRequest(host);
          event("request-written");
          co_return;
        }
        co_await sleepFor(0.1s);
      }
    } catch (const std::exception& e) {
      finish(1, e.what());
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const auto role = argc == 4 ? signalingRoleFromString(argv[1]) : std::nullopt;
  if (!role) {
    std::fprintf(stderr, "usage: ck_peer mac|pad FILE push|poll\n");
    return 1;
  }
  Peer peer;
  peer.role = *role;
  CloudKitSignalingOptions options;
  options.databasePath = argv[2];
  options.push = std::string(argv[3]) == "push";
  peer.service = makeCloudKitSignaling(*role, kHostID, std::string("ck-") + argv[1], peer.exec, options);
  peer.service->onMessage = [&peer](const SignalingMessage& message) {
    if (auto* offer = message.get<SignalingMessage::Offer>()) {
      event("offer-received", offer->sdp);
      peer.gotSdp = true;
      spawnDetached(peer.exec, [&peer]() -> Task<void> { co_await peer.sendOwn("v=0 fake answer from pad"); });
    } else if (auto* answer = message.get<SignalingMessage::Answer>()) {
      event("answer-received", answer->sdp);
      peer.gotSdp = true;
    } else if (auto* ice = message.get<SignalingMessage::IceCandidate>()) {
      event("candidate-received", ice->candidate.sdp);
      ++peer.gotCandidates;
    }
    peer.checkDone();
  };
  if (*role == SignalingRole::mac) {
    peer.service->onConnectionRequested = [&peer] {
      event("request-seen");
      spawnDetached(peer.exec, [&peer]() -> Task<void> { co_await peer.sendOwn("v=0 fake offer from mac"); });
    };
    spawnDetached(peer.exec, [&peer]() -> Task<void> {
      co_await peer.service->clearSession();
      peer.service->start();
    });
  } else {
    spawnDetached(peer.exec, [&peer]() -> Task<void> { co_await peer.requestSession(); });
  }
  auto deadline = peer.exec.postAfter(10s, [&peer] { peer.finish(2, "timeout"); });
  peer.exec.run();
  return peer.exitCode;
}
