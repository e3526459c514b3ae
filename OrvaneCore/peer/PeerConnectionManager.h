#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvaneCore/peer/CandidateFilter.h"
#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/SignalingService.h"

namespace orvane {

// A failure with the domain and code the owner maps to its state; what() is
// the description, or the platform's generic sentence when there is none.
class PeerConnectionError : public std::runtime_error {
 public:
  PeerConnectionError(std::string domain, long code, std::string description);
  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& description() const { return description_; }

 private:
  std::string domain_;
  long code_;
  std::string description_;
};

// Where the built-in ICE servers live.
struct IceHosts {
  std::string stunHost = "stun.l.google.com";
};

// The built-in STUN server; none in relay-only mode. Relays come only from the
// signalling server, with credentials of their own for each user.
std::vector<rtc::IceServer> defaultIceServers(bool forceRelay, const IceHosts& hosts = {});

// The servers for one connection attempt: the built-in ones plus those the
// signalling server issued. Relay-only keeps the issued TURN URLs over TCP
// (turns:, or turn: with transport=tcp), or every TURN URL when none is.
std::vector<rtc::IceServer> iceServersFor(const std::vector<IceServerInfo>& issued, bool forceRelay,
                                          const IceHosts& hosts = {});

struct OsVersion {
  long major = 0;
  long minor = 0;
};
// The running kernel's release, e.g. 6.1 for "6.1.0-18-amd64".
OsVersion systemOsVersion();

// What the peer-connection manager reads from its surroundings; tests
// replace each.
struct PeerConnectionEnvironment {
  IceHosts iceHosts;
  InterfaceLister interfaces = systemInterfaceAddresses;
  std::function<OsVersion()> osVersion = systemOsVersion;
};

// One WebRTC peer connection for either role: the host's video track, control
// channel and offer, or the tablet's answer; owner callbacks on the main
// executor.
//
// Threads: start(), disconnect(), the callbacks and the accessors belong to
// the main executor. Engine events arrive on engine threads and touch only
// the control queue and the interface cache (each under its own lock) and
// their connection's atomic flag; owner callbacks and the gathering wait hop
// to the main executor holding the manager weakly, and are dropped once a
// later start() replaced the connection they came from. sendControlEvent()
// and pushVideoFrame() may be called from any thread.
class PeerConnectionManager final : public std::enable_shared_from_this<PeerConnectionManager> {
  struct Private {};

 public:
  using Environment = PeerConnectionEnvironment;

  static constexpr double kGatheringTimeoutSeconds = 5.0;
  // Events sent while no channel is open wait here; past either bound the
  // oldest go first, since the newest describe the current state.
  static constexpr std::size_t kMaxPendingControlEvents = 1000;
  static constexpr std::size_t kMaxPendingControlBytes = std::size_t{1} << 20;
  // Remote candidates before the remote description; a real peer sends a few
  // dozen, the rest are ignored.
  static constexpr std::size_t kMaxPendingCandidates = 100;

  // Installs the service's onMessage. `engine`, `main` and `logSink` must
  // outlive the manager. Without `iceServers` each attempt takes the servers
  // the signalling service issued last (see iceServersFor).
  static std::shared_ptr<PeerConnectionManager> create(
      SignalingRole role, std::shared_ptr<SignalingServiceProtocol> signalingService,
      std::optional<std::vector<rtc::IceServer>> iceServers, bool trickle, bool forceRelay, rtc::Engine& engine,
      Executor& main, LogSink& logSink = systemLogSink(), Environment environment = {});

  PeerConnectionManager(Private, SignalingRole role, std::shared_ptr<SignalingServiceProtocol> signalingService,
                        std::optional<std::vector<rtc::IceServer>> iceServers, bool trickle, bool forceRelay,
                        std::shared_ptr<rtc::PeerConnectionFactory> factory, Executor& main, LogSink& logSink,
                        Environment environment);
  ~PeerConnectionManager();
  PeerConnectionManager(const PeerConnectionManager&) = delete;
  PeerConnectionManager& operator=(const PeerConnectionManager&) = delete;

  std::function<void()> onConnected;
  std::function<void()> onDisconnected;
  std::function<void(std::shared_ptr<rtc::VideoTrack>)> onRemoteVideoTrack;
  std::function<void(const ControlEvent&)> onControlEvent;

  // Builds a fresh connection; the host also creates and sends its offer.
  // Returns without sending when disconnect() or another start() ends this
  // attempt first.
  Task<void> start();
  void disconnect();

  // Capture thread: into the video source while a connection exists, else dropped.
  void pushVideoFrame(const rtc::VideoFrame& frame);
  void sendControlEvent(const ControlEvent& event);

  SignalingRole role() const { return role_; }
  // Given explicitly; they win over any issued ones.
  const std::optional<std::vector<rtc::IceServer>>& configuredIceServers() const { return configuredIceServers_; }
  bool trickle() const { return trickle_; }
  bool forceRelay() const { return forceRelay_; }
  const std::shared_ptr<rtc::VideoTrack>& localVideoTrack() const { return localVideoTrack_; }

 private:
  class Shared;
  class Link;
  struct GatheringWait {
    std::uint64_t id;
    Resolver<bool> resolver;
    TimerHandle timer;
  };

  void tearDown();
  bool isCurrent(const std::shared_ptr<rtc::PeerConnection>& pc) const { return pc && pc == peerConnection_; }
  bool isLive(std::uint64_t generation) const;
  std::vector<rtc::IceServer> iceServersForAttempt();
  Task<void> createAndSendOffer();
  Task<void> waitForIceGathering(double timeoutSeconds, std::shared_ptr<rtc::PeerConnection> pc);
  void resumeGatheringWait();
  Task<void> handle(SignalingMessage message);
  Task<void> handleOffer(std::string sdp);
  Task<void> handleAnswer(std::string sdp);
  Task<void> handleRemoteCandidate(ICECandidateInfo info);
  Task<void> applyPendingICECandidates(std::shared_ptr<rtc::PeerConnection> pc);
  Task<void> addICECandidate(ICECandidateInfo info, std::shared_ptr<rtc::PeerConnection> pc);
  std::string localSdp(const std::shared_ptr<rtc::PeerConnection>& pc, const rtc::SessionDescription& fallback);

  const SignalingRole role_;
  const std::string tag_;
  const std::shared_ptr<SignalingServiceProtocol> signalingService_;
  const std::optional<std::vector<rtc::IceServer>> configuredIceServers_;
  const IceHosts iceHosts_;
  const bool trickle_;
  const bool forceRelay_;
  const std::shared_ptr<rtc::PeerConnectionFactory> factory_;
  Executor& main_;
  const Logger log_;
  const std::function<OsVersion()> osVersion_;
  const std::shared_ptr<Shared> shared_;

  // The capture thread's only view of the connection.
  std::atomic<std::shared_ptr<const rtc::VideoCapturer>> videoCapturer_;

  // Main executor only.
  std::shared_ptr<Link> link_;
  std::shared_ptr<rtc::PeerConnection> peerConnection_;
  std::shared_ptr<rtc::VideoSource> localVideoSource_;
  std::shared_ptr<rtc::VideoTrack> localVideoTrack_;
  std::vector<ICECandidateInfo> pendingICECandidates_;
  bool remoteDescriptionSet_ = false;
  bool candidateOverflowLogged_ = false;
  std::uint64_t attempt_ = 0;  // bumped by start(); owner callbacks of older attempts are dropped
  std::optional<GatheringWait> gatheringWait_;
  std::uint64_t nextWaitId_ = 0;
};

}  // namespace orvane
