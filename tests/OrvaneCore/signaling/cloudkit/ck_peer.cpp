// One side of the two-process exchange: a host ("mac") or a tablet ("pad")
// running the record-store signalling on a real main loop against one SQLite
// file. Besides the service's own lines it prints, for the driver,
//   EVENT <name> <monotonic ms> [detail]
// and exits 0 once its side of the exchange is complete, 1 on an error, 2 on
// the time-out.
//
//   ck_peer --role mac|pad --db FILE [--no-push] [--host-id ID] [--timeout SECONDS]
#include <time.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

constexpr int kCandidates = 2;

void event(const std::string& name, const std::string& detail = "") {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.3f", now.tv_sec * 1e3 + now.tv_nsec / 1e6);
  Console().print("EVENT " + name + " " + stamp + (detail.empty() ? "" : " " + detail));
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

  void finish(int code) {
    if (finished) return;
    finished = true;
    exitCode = code;
    service->stop();
    exec.post([this] { exec.quit(); });  // after the host record's removal, queued by stop()
  }
  void checkDone() {
    if (sentOwn && gotSdp && gotCandidates >= kCandidates) finish(0);
  }

  // Our SDP (offer or answer) and our candidates.
  Task<void> sendOwn(std::string sdp) {
    try {
      if (role == SignalingRole::mac) {
        co_await service->sendOffer(sdp);
      } else {
        co_await service->sendAnswer(sdp);
      }
      event(role == SignalingRole::mac ? "offer-written" : "answer-written");
      for (int i = 0; i < kCandidates; ++i) {
        ICECandidateInfo candidate{"candidate:" + std::to_string(i) + " 1 udp 2122260223 10.0.0.1 5000" +
                                       std::to_string(i) + " typ host",
                                   0, std::string("0")};
        co_await service->sendICECandidate(candidate);
      }
      sentOwn = true;
      checkDone();
    } catch (const std::exception& e) {
      event("error", e.what());
      finish(1);
    }
  }

  Task<void> requestSession(std::string hostID) {
    try {
      for (;;) {
        auto hosts = co_await service->listHosts();
        auto it = std::find_if(hosts.begin(), hosts.end(), [&](const HostInfo& h) { return h.id == hostID; });
        if (it != hosts.end()) {
          HostInfo host = *it;
          co_await service->sendConnectionRequest(host);
          event("request-written");
          co_return;
        }
        co_await sleepFor(0.1s);  // the host may not have registered yet
      }
    } catch (const std::exception& e) {
      event("error", e.what());
      finish(1);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string roleName, db, hostID = "ck-peer-host";
  bool push = true;
  double timeout = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--role" && hasValue) {
      roleName = argv[++i];
    } else if (arg == "--db" && hasValue) {
      db = argv[++i];
    } else if (arg == "--host-id" && hasValue) {
      hostID = argv[++i];
    } else if (arg == "--timeout" && hasValue) {
      timeout = std::atof(argv[++i]);
    } else if (arg == "--no-push") {
      push = false;
    } else {
      std::fprintf(stderr, "usage: ck_peer --role mac|pad --db FILE [--no-push] [--host-id ID] [--timeout S]\n");
      return 1;
    }
  }
  auto role = signalingRoleFromString(roleName);
  if (!role || db.empty()) {
    std::fprintf(stderr, "ck_peer: --role mac|pad and --db FILE are required\n");
    return 1;
  }

  Peer peer;
  peer.role = *role;
  CloudKitSignalingOptions options;
  options.databasePath = db;
  options.push = push;
  peer.service = makeCloudKitSignaling(*role, hostID, *role == SignalingRole::mac ? "ck-host" : "ck-pad", peer.exec,
                                       options);
  auto& service = *peer.service;
  service.onMessage = [&peer](const SignalingMessage& message) {
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
    service.onConnectionRequested = [&peer] {
      event("request-seen");
      spawnDetached(peer.exec, [&peer]() -> Task<void> { co_await peer.sendOwn("v=0 fake offer from mac"); });
    };
    spawnDetached(peer.exec, [&peer]() -> Task<void> {
      co_await peer.service->clearSession();
      peer.service->start();
      event("started");
    });
  } else {
    spawnDetached(peer.exec, [&peer, hostID]() -> Task<void> { co_await peer.requestSession(hostID); });
  }
  auto deadline = peer.exec.postAfter(Seconds(timeout), [&peer] {
    event("timeout");
    peer.finish(2);
  });
  peer.exec.run();
  return peer.exitCode;
}
