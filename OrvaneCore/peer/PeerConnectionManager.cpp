#include "OrvaneCore/peer/PeerConnectionManager.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <utility>

#include "OrvaneCore/runtime/Once.h"

namespace orvane {

namespace {

// Characters as the platform's strings count them (code points, not bytes).
long characterCount(std::string_view text) {
  long count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

std::string_view prefixCharacters(std::string_view text, long limit) {
  long seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == limit) return text.substr(0, i);
  }
  return text;
}

std::string unknownName(int value) { return "unknown(" + std::to_string(value) + ")"; }

std::string iceConnectionStateName(rtc::IceConnectionState state) {
  static constexpr const char* kNames[] = {"new",    "checking",     "connected", "completed",
                                           "FAILED", "disconnected", "closed",    "count"};
  const int value = static_cast<int>(state);
  return value >= 0 && value < 8 ? kNames[value] : unknownName(value);
}

std::string iceGatheringStateName(rtc::IceGatheringState state) {
  static constexpr const char* kNames[] = {"new", "gathering", "complete"};
  const int value = static_cast<int>(state);
  return value >= 0 && value < 3 ? kNames[value] : unknownName(value);
}

std::string signalingStateName(rtc::SignalingState state) {
  static constexpr const char* kNames[] = {"stable",          "haveLocalOffer",     "haveLocalPrAnswer",
                                           "haveRemoteOffer", "haveRemotePrAnswer", "closed"};
  const int value = static_cast<int>(state);
  return value >= 0 && value < 6 ? kNames[value] : unknownName(value);
}

std::string dataChannelStateName(rtc::DataChannelState state) {
  static constexpr const char* kNames[] = {"connecting", "open", "closing", "closed"};
  const int value = static_cast<int>(state);
  return value >= 0 && value < 4 ? kNames[value] : unknownName(value);
}

Task<void> createAnswerInto(std::shared_ptr<rtc::PeerConnection> pc, std::optional<rtc::SessionDescription>* answer) {
  rtc::MediaConstraints none;
  *answer = co_await pc->createAnswer(none);
  if (!*answer) throw PeerConnectionError("PCM", -2, "");
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

PeerConnectionError::PeerConnectionError(std::string domain, long code, std::string description)
    : std::runtime_error(description.empty() ? "The operation couldn\u2019t be completed. (" + domain + " error " +
                                                   std::to_string(code) + ".)"
                                             : description),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

std::vector<rtc::IceServer> defaultIceServers(bool forceRelay, const IceHosts& hosts) {
  if (forceRelay) return {};
  return {rtc::IceServer{{"stun:" + hosts.stunHost + ":19302"}, std::nullopt, std::nullopt}};
}

std::vector<rtc::IceServer> iceServersFor(const std::vector<IceServerInfo>& issued, bool forceRelay,
                                          const IceHosts& hosts) {
  const auto isTurn = [](const std::string& url) { return url.starts_with("turn:") || url.starts_with("turns:"); };
  const auto overTcp = [](const std::string& url) {
    return url.starts_with("turns:") || url.ends_with("?transport=tcp");
  };
  bool anyTcp = false;
  for (const IceServerInfo& server : issued) {
    anyTcp = anyTcp || std::any_of(server.urls.begin(), server.urls.end(), overTcp);
  }
  std::vector<rtc::IceServer> servers = defaultIceServers(forceRelay, hosts);
  for (const IceServerInfo& server : issued) {
    rtc::IceServer entry{{}, server.username, server.credential};
    for (const std::string& url : server.urls) {
      if (!forceRelay || (isTurn(url) && (!anyTcp || overTcp(url)))) entry.urls.push_back(url);
    }
    if (!entry.urls.empty()) servers.push_back(std::move(entry));
  }
  return servers;
}

OsVersion systemOsVersion() {
  utsname name{};
  if (uname(&name) != 0) return {};
  char* end = nullptr;
  OsVersion version;
  version.major = std::strtol(name.release, &end, 10);
  if (end != nullptr && *end == '.') version.minor = std::strtol(end + 1, nullptr, 10);
  return version;
}

// What engine threads share with the manager: the control channel with its
// queue, and the cached physical addresses. Each has its own lock, never
// held while calling out, except that the queue lock covers readyState().
class PeerConnectionManager::Shared {
 public:
  Shared(Logger log, std::string tag, InterfaceLister lister)
      : log(std::move(log)), tag(std::move(tag)), lister_(std::move(lister)) {}

  const Logger log;
  const std::string tag;

  std::shared_ptr<const std::set<std::string>> physicalIPs() {
    std::lock_guard lock(ipsLock_);
    if (!ips_) {
      const auto interfaces = lister_ ? lister_() : std::vector<InterfaceAddress>();
      ips_ = std::make_shared<const std::set<std::string>>(orvane::physicalIPs(interfaces));
    }
    return ips_;
  }
  void forgetPhysicalIPs() {
    std::lock_guard lock(ipsLock_);
    ips_.reset();
  }

  // Channels are adopted only for the live connection, so a channel announced
  // while that connection is being torn down never keeps a freed observer.
  void setLive(std::uint64_t generation) {
    std::lock_guard lock(controlLock_);
    liveGeneration_ = generation;
  }
  std::shared_ptr<rtc::DataChannel> retire() {
    std::lock_guard lock(controlLock_);
    liveGeneration_ = 0;
    return std::exchange(channel_, nullptr);
  }
  // The channel it replaced, through `previous`; false when refused.
  bool install(const std::shared_ptr<rtc::DataChannel>& channel, std::uint64_t generation,
               std::shared_ptr<rtc::DataChannel>& previous) {
    std::lock_guard lock(controlLock_);
    if (generation != liveGeneration_) return false;
    previous = std::exchange(channel_, channel);
    return true;
  }
  bool owns(const std::shared_ptr<rtc::DataChannel>& channel, std::uint64_t generation) {
    std::lock_guard lock(controlLock_);
    return generation == liveGeneration_ && channel_ == channel;
  }

  // The state check and the append share the lock with the flush's take, so
  // an event racing the channel's opening is either taken by that flush or
  // finds the channel open. While a flush is sending, or events still wait,
  // new events queue behind them to keep their order.
  void send(std::string bytes) {
    std::shared_ptr<rtc::DataChannel> direct;
    bool dropped = false;
    {
      std::lock_guard lock(controlLock_);
      if (channel_ && !flushing_ && pending_.empty() && channel_->readyState() == rtc::DataChannelState::open) {
        direct = channel_;
      } else {
        dropped = enqueue(std::move(bytes));
      }
    }
    if (direct) direct->send(bytesOf(bytes), false);
    if (dropped) {
      log.notice("%{public}s control queue full — dropping buffered control event(s)", tag);
    }
  }

  void flush() {
    std::shared_ptr<rtc::DataChannel> channel;
    std::deque<std::string> batch;
    {
      std::lock_guard lock(controlLock_);
      if (!channel_ || flushing_ || channel_->readyState() != rtc::DataChannelState::open || pending_.empty()) return;
      takeAll(batch);
      flushing_ = true;
      channel = channel_;
    }
    log.info("%{public}s flushing %{public}ld buffered control event(s)", tag, static_cast<long>(batch.size()));
    bool again = false;
    for (;;) {
      for (const auto& bytes : batch) channel->send(bytesOf(bytes), false);
      batch.clear();
      std::lock_guard lock(controlLock_);
      if (pending_.empty() || channel_ != channel) {
        flushing_ = false;
        // A channel that opened during this flush found it busy: serve it now.
        again = channel_ != channel && !pending_.empty();
        break;
      }
      takeAll(batch);
    }
    if (again) flush();
  }

 private:
  // Under controlLock_. True when this append started dropping.
  bool enqueue(std::string bytes) {
    bool dropped = false;
    while (!pending_.empty() && (pending_.size() >= kMaxPendingControlEvents ||
                                 pendingBytes_ + bytes.size() > kMaxPendingControlBytes)) {
      pendingBytes_ -= pending_.front().size();
      pending_.pop_front();
      dropped = true;
    }
    if (bytes.size() > kMaxPendingControlBytes) {
      dropped = true;
    } else {
      pendingBytes_ += bytes.size();
      pending_.push_back(std::move(bytes));
    }
    if (!dropped || overflowReported_) return false;
    overflowReported_ = true;
    return true;
  }
  void takeAll(std::deque<std::string>& into) {
    into.swap(pending_);
    pendingBytes_ = 0;
    overflowReported_ = false;
  }

  InterfaceLister lister_;
  std::mutex ipsLock_;
  std::shared_ptr<const std::set<std::string>> ips_;

  std::mutex controlLock_;  // the pending-control lock
  std::shared_ptr<rtc::DataChannel> channel_;
  std::uint64_t liveGeneration_ = 0;
  std::deque<std::string> pending_;
  std::size_t pendingBytes_ = 0;
  bool flushing_ = false;
  bool overflowReported_ = false;
};

// The engine's observer for one connection and its channel. It runs on
// engine threads, so it never holds the manager strongly: what must reach the
// manager is posted to the main executor with a weak reference.
class PeerConnectionManager::Link final : public rtc::PeerConnectionObserver, public rtc::DataChannelObserver {
 public:
  Link(std::weak_ptr<PeerConnectionManager> owner, Executor& main, std::shared_ptr<Shared> shared,
       std::uint64_t generation)
      : generation(generation), owner_(std::move(owner)), main_(main), shared_(std::move(shared)) {}

  const std::uint64_t generation;

  void onSignalingStateChange(rtc::SignalingState state) override {
    shared_->log.debug("%{public}s signaling state → %{public}s", shared_->tag, signalingStateName(state));
  }

  void onIceConnectionStateChange(rtc::IceConnectionState state) override {
    const std::string name = iceConnectionStateName(state);
    shared_->log.info("%{public}s ICE connection state → %{public}s", shared_->tag, name);
    switch (state) {
      case rtc::IceConnectionState::connected:
      case rtc::IceConnectionState::completed:
        hasConnectedOnce_ = true;
        toOwner([](PeerConnectionManager& m) { call(m.onConnected); });
        break;
      case rtc::IceConnectionState::failed:
      case rtc::IceConnectionState::disconnected:
        if (!hasConnectedOnce_) {
          shared_->log.notice("%{public}s pre-connect %{public}s — holding connection open for a late relay candidate",
                              shared_->tag, name);
          break;
        }
        toOwner([](PeerConnectionManager& m) { call(m.onDisconnected); });
        break;
      case rtc::IceConnectionState::closed:
        toOwner([](PeerConnectionManager& m) { call(m.onDisconnected); });
        break;
      default:
        break;
    }
  }

  void onIceGatheringStateChange(rtc::IceGatheringState state) override {
    shared_->log.debug("%{public}s ICE gathering state → %{public}s", shared_->tag, iceGatheringStateName(state));
    if (state != rtc::IceGatheringState::complete) return;
    main_.post([owner = owner_, generation = generation] {
      auto self = owner.lock();
      if (self && self->isLive(generation)) self->resumeGatheringWait();
    });
  }

  void onIceCandidate(const rtc::IceCandidate& candidate) override {
    const auto ips = shared_->physicalIPs();
    if (!ips->empty() && shouldDropCandidate(candidate.sdp, *ips)) return;
    shared_->log.debug("%{public}s generated ICE candidate: %{public}s", shared_->tag,
                       prefixCharacters(candidate.sdp, 80));
    ICECandidateInfo info{candidate.sdp, candidate.sdpMLineIndex, candidate.sdpMid};
    spawnDetached(main_, [owner = owner_, generation = generation, info]() -> Task<void> {
      std::shared_ptr<SignalingServiceProtocol> service;
      if (auto self = owner.lock(); self && self->isLive(generation)) service = self->signalingService_;
      if (!service) co_return;  // that connection is gone: its candidates are of no use
      try {
        co_await service->sendICECandidate(info);
      } catch (...) {
      }
    });
  }

  void onDataChannel(std::shared_ptr<rtc::DataChannel> channel) override {
    if (!channel) return;
    shared_->log.info("%{public}s didOpen dataChannel readyState=%{public}s", shared_->tag,
                      dataChannelStateName(channel->readyState()));
    std::shared_ptr<rtc::DataChannel> previous;
    if (!shared_->install(channel, generation, previous)) return;
    if (previous && previous != channel) previous->setObserver(nullptr);
    channel->setObserver(this);
    // A teardown between install and setObserver has already cleared it.
    if (!shared_->owns(channel, generation)) {
      channel->setObserver(nullptr);
      return;
    }
    shared_->flush();
  }

  void onAddStream(const rtc::MediaStream& stream) override {
    if (stream.videoTracks.empty() || !stream.videoTracks.front()) return;
    toOwner([track = stream.videoTracks.front()](PeerConnectionManager& m) {
      if (auto callback = m.onRemoteVideoTrack) callback(track);
    });
  }

  void onStateChange(rtc::DataChannel& channel) override {
    const rtc::DataChannelState state = channel.readyState();
    shared_->log.info("%{public}s dataChannel state → %{public}s", shared_->tag, dataChannelStateName(state));
    if (state == rtc::DataChannelState::open) shared_->flush();
    // Our own teardown clears this observer first, so this is the peer
    // closing the channel: it has left, though ICE may say so only seconds later.
    if (state == rtc::DataChannelState::closed && hasConnectedOnce_) {
      toOwner([](PeerConnectionManager& m) { call(m.onDisconnected); });
    }
  }

  void onMessage(rtc::DataChannel&, std::span<const std::uint8_t> data, bool) override {
    auto decoded = decodeControlEvent(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!decoded) return;
    toOwner([event = std::move(decoded).value()](PeerConnectionManager& m) {
      if (auto callback = m.onControlEvent) callback(event);
    });
  }

 private:
  static void call(const std::function<void()>& callback) {
    if (auto copy = callback) copy();
  }

  template <typename Fn>
  void toOwner(Fn fn) {
    main_.post([owner = owner_, generation = generation, fn = std::move(fn)] {
      auto self = owner.lock();
      if (self && self->attempt_ == generation) fn(*self);
    });
  }

  const std::weak_ptr<PeerConnectionManager> owner_;
  Executor& main_;
  const std::shared_ptr<Shared> shared_;
  std::atomic<bool> hasConnectedOnce_{false};
};

std::shared_ptr<PeerConnectionManager> PeerConnectionManager::create(
    SignalingRole role, std::shared_ptr<SignalingServiceProtocol> signalingService,
    std::optional<std::vector<rtc::IceServer>> iceServers, bool trickle, bool forceRelay, rtc::Engine& engine,
    Executor& main, LogSink& logSink, Environment environment) {
  if (!signalingService) throw std::invalid_argument("PeerConnectionManager needs a signalling service");
  static Once sslOnce;
  sslOnce.run([&engine] { engine.initializeSSL(); });
  auto factory = engine.makeFactory();
  if (!factory) throw std::invalid_argument("the engine made no peer-connection factory");
  auto manager = std::make_shared<PeerConnectionManager>(Private{}, role, std::move(signalingService),
                                                         std::move(iceServers), trickle, forceRelay, std::move(factory),
                                                         main, logSink, std::move(environment));
  std::weak_ptr<PeerConnectionManager> weak = manager;
  manager->signalingService_->onMessage = [weak, &main](const SignalingMessage& message) {
    spawnDetached(main, [weak, message]() -> Task<void> {
      auto self = weak.lock();
      if (!self) co_return;
      co_await self->handle(message);
    });
  };
  return manager;
}

PeerConnectionManager::PeerConnectionManager(Private, SignalingRole role,
                                             std::shared_ptr<SignalingServiceProtocol> signalingService,
                                             std::optional<std::vector<rtc::IceServer>> iceServers, bool trickle,
                                             bool forceRelay,
                                             std::shared_ptr<rtc::PeerConnectionFactory> factory, Executor& main,
                                             LogSink& logSink, Environment environment)
    : role_(role),
      tag_("[PCM:" + std::string(toString(role)) + "]"),
      signalingService_(std::move(signalingService)),
      configuredIceServers_(std::move(iceServers)),
      iceHosts_(environment.iceHosts),
      trickle_(trickle),
      forceRelay_(forceRelay),
      factory_(std::move(factory)),
      main_(main),
      log_("com.kelbrin.Orvane.Core", "webrtc", logSink),
      osVersion_(std::move(environment.osVersion)),
      shared_(std::make_shared<Shared>(log_, tag_, std::move(environment.interfaces))) {}

PeerConnectionManager::~PeerConnectionManager() { tearDown(); }

bool PeerConnectionManager::isLive(std::uint64_t generation) const {
  return link_ && link_->generation == generation;
}

void PeerConnectionManager::tearDown() {
  if (auto channel = shared_->retire()) channel->setObserver(nullptr);
  videoCapturer_.store(nullptr);
  if (auto pc = std::exchange(peerConnection_, nullptr)) pc->close();
  localVideoTrack_.reset();
  localVideoSource_.reset();
  link_.reset();  // only now: close() has detached it from the engine
}

std::vector<rtc::IceServer> PeerConnectionManager::iceServersForAttempt() {
  if (configuredIceServers_) return *configuredIceServers_;
  // Read anew for every attempt: the credentials of the last one may have expired.
  return iceServersFor(signalingService_->issuedIceServers().value_or(std::vector<IceServerInfo>{}), forceRelay_,
                       iceHosts_);
}

Task<void> PeerConnectionManager::start() {
  ORVANE_ASSERT_ON(main_);
  auto self = shared_from_this();  // the attempt runs to its end even if the owner lets go
  log_.info("%{public}s start()", tag_);
  tearDown();
  resumeGatheringWait();
  pendingICECandidates_.clear();
  remoteDescriptionSet_ = false;
  candidateOverflowLogged_ = false;
  const std::uint64_t generation = ++attempt_;

  rtc::Configuration configuration;
  configuration.iceServers = iceServersForAttempt();
  if (forceRelay_) {
    configuration.iceTransportPolicy = rtc::IceTransportPolicy::relay;
    log_.info("%{public}s forceRelay ON → iceTransportPolicy=.relay, TURN over TCP only", tag_);
    if (configuration.iceServers.empty()) {
      log_.error("%{public}s relay-only without a TURN server: the signalling server issued none", tag_);
    }
  }
  if (trickle_) configuration.continualGatheringPolicy = rtc::ContinualGatheringPolicy::gatherContinually;
  configuration.sdpSemantics = rtc::SdpSemantics::unifiedPlan;

  auto link = std::make_shared<Link>(weak_from_this(), main_, shared_, generation);
  link_ = link;
  shared_->setLive(generation);
  peerConnection_ = factory_->createPeerConnection(configuration, rtc::MediaConstraints{}, link.get());

  if (role_ == SignalingRole::pad) co_return;

  if (peerConnection_) {
    localVideoSource_ = factory_->createVideoSource();
    localVideoTrack_ = factory_->createVideoTrack(localVideoSource_, "video0");
    videoCapturer_.store(std::make_shared<const rtc::VideoCapturer>(localVideoSource_));
    if (auto sender = peerConnection_->addTrack(localVideoTrack_, std::vector<std::string>{"stream0"})) {
      rtc::RtpParameters parameters = sender->parameters();
      parameters.degradationPreference = rtc::DegradationPreference::disabled;
      for (auto& encoding : parameters.encodings) {
        encoding.maxBitrateBps = 12'000'000;
        encoding.minBitrateBps = 8'000'000;
      }
      sender->setParameters(parameters);
      const OsVersion osv = osVersion_ ? osVersion_() : OsVersion{};
      log_.info("[PCM:mac] degradationPreference=%{public}s (osv %{public}ld.%{public}ld)", "0", osv.major,
                osv.minor);
    }
    rtc::DataChannelInit init;
    init.ordered = true;
    if (auto channel = peerConnection_->createDataChannel("control", init)) {
      std::shared_ptr<rtc::DataChannel> previous;
      if (shared_->install(channel, generation, previous)) channel->setObserver(link.get());
    }
  }
  co_await createAndSendOffer();
}

void PeerConnectionManager::disconnect() {
  ORVANE_ASSERT_ON(main_);
  shared_->forgetPhysicalIPs();
  tearDown();
  resumeGatheringWait();
}

void PeerConnectionManager::pushVideoFrame(const rtc::VideoFrame& frame) {
  if (auto capturer = videoCapturer_.load()) capturer->capture(frame);
}

void PeerConnectionManager::sendControlEvent(const ControlEvent& event) {
  auto bytes = encodeControlEvent(event);
  if (bytes) shared_->send(std::move(*bytes));
}

std::string PeerConnectionManager::localSdp(const std::shared_ptr<rtc::PeerConnection>& pc,
                                            const rtc::SessionDescription& fallback) {
  const auto local = pc->localDescription();
  return filterSDP(local ? local->sdp : fallback.sdp, *shared_->physicalIPs());
}

Task<void> PeerConnectionManager::createAndSendOffer() {
  auto pc = peerConnection_;
  if (!pc) throw PeerConnectionError("PeerConnectionManager", -3, "peerConnection is nil");
  rtc::MediaConstraints constraints;
  constraints.mandatory["OfferToReceiveVideo"] = "true";
  // Each wait below may see disconnect() or a newer start(): an offer for a
  // connection that no longer exists must not reach the peer, and the errors
  // its closing causes end an abandoned attempt, not a failed one.
  std::optional<rtc::SessionDescription> offer;
  try {
    offer = co_await pc->createOffer(constraints);
    if (!offer) throw PeerConnectionError("PeerConnectionManager", -1, "No SDP returned");
    if (isCurrent(pc)) co_await pc->setLocalDescription(*offer);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    if (isCurrent(pc)) throw;
  }
  if (!isCurrent(pc)) co_return;
  if (!trickle_) {
    co_await waitForIceGathering(kGatheringTimeoutSeconds, pc);
    if (!isCurrent(pc)) co_return;
  }
  const std::string sdp = localSdp(pc, *offer);
  log_.info("[PCM:mac] sending offer (sdpLen=%{public}ld)", characterCount(sdp));
  co_await signalingService_->sendOffer(sdp);
}

Task<void> PeerConnectionManager::waitForIceGathering(double timeoutSeconds, std::shared_ptr<rtc::PeerConnection> pc) {
  if (pc->iceGatheringState() == rtc::IceGatheringState::complete) co_return;
  log_.debug("%{public}s waiting for ICE gathering (timeout %{public}lds)…", tag_, static_cast<long>(timeoutSeconds));
  resumeGatheringWait();  // a wait never replaces another one that then hangs
  auto oneShot = makeOneShot<bool>();
  const OneShot<bool> result = oneShot.second;
  const std::uint64_t id = ++nextWaitId_;
  gatheringWait_.emplace(GatheringWait{id, std::move(oneShot.first), TimerHandle()});
  if (pc->iceGatheringState() == rtc::IceGatheringState::complete) {
    resumeGatheringWait();
  } else {
    std::weak_ptr<PeerConnectionManager> weak = weak_from_this();
    gatheringWait_->timer = main_.postAfter(Seconds(timeoutSeconds), [weak, id] {
      auto self = weak.lock();
      if (!self || !self->gatheringWait_ || self->gatheringWait_->id != id) return;
      self->log_.notice("%{public}s ICE gathering timed out — proceeding with available candidates", self->tag_);
      self->resumeGatheringWait();
    });
  }
  std::exception_ptr cancelled;
  try {
    co_await result;
  } catch (const TaskCancelled&) {
    cancelled = std::current_exception();
  } catch (const BrokenPromise&) {
  }
  // A cancelled waiter leaves nothing behind to time out later.
  if (gatheringWait_ && gatheringWait_->id == id) gatheringWait_.reset();
  if (cancelled) std::rethrow_exception(cancelled);
}

void PeerConnectionManager::resumeGatheringWait() {
  if (!gatheringWait_) return;
  GatheringWait wait = std::move(*gatheringWait_);
  gatheringWait_.reset();
  wait.timer.cancel();
  wait.resolver.resolve(true);
}

Task<void> PeerConnectionManager::handle(SignalingMessage message) {
  if (const auto* offer = message.get<SignalingMessage::Offer>()) {
    if (role_ == SignalingRole::pad) co_await handleOffer(offer->sdp);
  } else if (const auto* answer = message.get<SignalingMessage::Answer>()) {
    if (role_ == SignalingRole::mac) co_await handleAnswer(answer->sdp);
  } else if (const auto* candidate = message.get<SignalingMessage::IceCandidate>()) {
    co_await handleRemoteCandidate(candidate->candidate);
  }
}

Task<void> PeerConnectionManager::handleOffer(std::string sdp) {
  auto pc = peerConnection_;
  if (!pc) {
    log_.notice("%{public}s handle: ignoring offer — no active peer connection", tag_);
    co_return;
  }
  log_.info("%{public}s handle: received offer (%{public}ld chars)", tag_, characterCount(sdp));
  rtc::SessionDescription remote;
  remote.type = rtc::SdpType::offer;
  remote.sdp = std::move(sdp);
  if (auto failure = co_await failureOf(pc->setRemoteDescription(remote))) {
    log_.error("%{public}s setRemoteDescription(offer): FAILED: %{public}s", tag_, *failure);
    co_return;
  }
  if (!isCurrent(pc)) co_return;
  co_await applyPendingICECandidates(pc);
  if (!isCurrent(pc)) co_return;
  std::optional<rtc::SessionDescription> answer;
  if (auto failure = co_await failureOf(createAnswerInto(pc, &answer))) {
    log_.error("%{public}s createAnswer: FAILED: %{public}s", tag_, *failure);
    co_return;
  }
  if (!isCurrent(pc)) co_return;
  if (auto failure = co_await failureOf(pc->setLocalDescription(*answer))) {
    log_.error("%{public}s setLocalDescription(answer): FAILED: %{public}s", tag_, *failure);
    co_return;
  }
  if (!isCurrent(pc)) co_return;
  if (!trickle_) {
    co_await waitForIceGathering(kGatheringTimeoutSeconds, pc);
    if (!isCurrent(pc)) co_return;
  }
  const std::string answerSdp = localSdp(pc, *answer);
  if (auto failure = co_await failureOf(signalingService_->sendAnswer(answerSdp))) {
    log_.error("%{public}s sendAnswer: FAILED: %{public}s", tag_, *failure);
  } else {
    log_.info("%{public}s sendAnswer: OK (sdpLen=%{public}ld)", tag_, characterCount(answerSdp));
  }
}

Task<void> PeerConnectionManager::handleAnswer(std::string sdp) {
  auto pc = peerConnection_;
  if (!pc) {
    log_.notice("%{public}s handle: ignoring answer — no active peer connection (stale session?)", tag_);
    co_return;
  }
  log_.info("%{public}s handle: received answer (%{public}ld chars)", tag_, characterCount(sdp));
  rtc::SessionDescription remote;
  remote.type = rtc::SdpType::answer;
  remote.sdp = std::move(sdp);
  if (auto failure = co_await failureOf(pc->setRemoteDescription(remote))) {
    log_.error("%{public}s setRemoteDescription(answer): FAILED: %{public}s", tag_, *failure);
    co_return;
  }
  if (isCurrent(pc)) co_await applyPendingICECandidates(pc);
}

Task<void> PeerConnectionManager::handleRemoteCandidate(ICECandidateInfo info) {
  auto pc = peerConnection_;
  if (!pc) co_return;
  if (!remoteDescriptionSet_) {
    if (pendingICECandidates_.size() < kMaxPendingCandidates) {
      pendingICECandidates_.push_back(std::move(info));
    } else if (!std::exchange(candidateOverflowLogged_, true)) {
      log_.notice("%{public}s too many ICE candidates before the remote description — ignoring the rest", tag_);
    }
    co_return;
  }
  co_await addICECandidate(std::move(info), pc);
}

Task<void> PeerConnectionManager::applyPendingICECandidates(std::shared_ptr<rtc::PeerConnection> pc) {
  remoteDescriptionSet_ = true;
  const std::vector<ICECandidateInfo> pending = std::exchange(pendingICECandidates_, {});
  if (pending.empty()) co_return;
  log_.info("%{public}s applying %{public}ld buffered ICE candidate(s)", tag_, static_cast<long>(pending.size()));
  for (const auto& info : pending) {
    if (!isCurrent(pc)) co_return;
    co_await addICECandidate(info, pc);
  }
}

Task<void> PeerConnectionManager::addICECandidate(ICECandidateInfo info, std::shared_ptr<rtc::PeerConnection> pc) {
  rtc::IceCandidate candidate;
  candidate.sdp = std::move(info.sdp);
  candidate.sdpMLineIndex = info.sdpMLineIndex;
  candidate.sdpMid = std::move(info.sdpMid);
  if (auto failure = co_await failureOf(pc->addIceCandidate(candidate))) {
    log_.error("%{public}s addICECandidate: FAILED: %{public}s", tag_, *failure);
  }
}

}  // namespace orvane
