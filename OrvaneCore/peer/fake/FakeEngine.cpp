#include "OrvaneCore/peer/fake/FakeEngine.h"

#include <utility>

namespace orvane::rtc {

FakeDataChannel::FakeDataChannel(std::string label, DataChannelInit init, DataChannelState state)
    : label_(std::move(label)), init_(init), state_(state) {}

bool FakeDataChannel::send(std::span<const std::uint8_t> data, bool isBinary) {
  std::lock_guard lock(mutex_);
  sent_.push_back({std::string(reinterpret_cast<const char*>(data.data()), data.size()), isBinary});
  return true;
}

void FakeDataChannel::setObserver(DataChannelObserver* observer) {
  std::lock_guard lock(deliveryMutex_);
  observer_ = observer;
}

void FakeDataChannel::setState(DataChannelState state) {
  std::lock_guard lock(deliveryMutex_);
  state_ = state;
  if (observer_) observer_->onStateChange(*this);
}

void FakeDataChannel::receive(std::string_view bytes, bool isBinary) {
  std::lock_guard lock(deliveryMutex_);
  if (observer_) {
    observer_->onMessage(*this, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, isBinary);
  }
}

std::vector<FakeDataChannel::Message> FakeDataChannel::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

std::vector<std::string> FakeDataChannel::sentText() const {
  std::vector<std::string> out;
  for (auto& message : sent()) out.push_back(message.data);
  return out;
}

DataChannelObserver* FakeDataChannel::observer() const {
  std::lock_guard lock(deliveryMutex_);
  return observer_;
}

RtpParameters FakeRtpSender::parameters() const {
  std::lock_guard lock(mutex_);
  return parameters_;
}

bool FakeRtpSender::setParameters(const RtpParameters& parameters) {
  std::lock_guard lock(mutex_);
  parameters_ = parameters;
  set_.push_back(parameters);
  return true;
}

std::vector<RtpParameters> FakeRtpSender::parametersSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

void FakeVideoSource::deliverFrame(const VideoFrame& frame) {
  std::lock_guard lock(mutex_);
  timestamps_.push_back(frame.timestampNs);
}

std::vector<std::int64_t> FakeVideoSource::deliveredTimestamps() const {
  std::lock_guard lock(mutex_);
  return timestamps_;
}

FakePeerConnection::FakePeerConnection(Configuration configuration, MediaConstraints constraints,
                                       PeerConnectionObserver* observer, Script script)
    : script(std::move(script)),
      configuration_(std::move(configuration)),
      constraints_(std::move(constraints)),
      observer_(observer) {}

template <typename Fn>
void FakePeerConnection::deliver(Fn fn) {
  std::lock_guard lock(deliveryMutex_);
  if (observer_) fn(*observer_);
}

Task<void> FakePeerConnection::holdIf(const char* operation) {
  if (script.holdAt != operation) co_return;
  auto shot = makeOneShot<bool>();
  {
    std::lock_guard lock(mutex_);
    held_ = shot.first;
  }
  co_await shot.second;
}

void FakePeerConnection::release(std::optional<std::string> error) {
  Resolver<bool> held;
  {
    std::lock_guard lock(mutex_);
    held = std::exchange(held_, {});
  }
  if (error) {
    held.fail(std::make_exception_ptr(EngineError(*error)));
  } else {
    held.resolve(true);
  }
}

Task<std::optional<SessionDescription>> FakePeerConnection::createOffer(MediaConstraints constraints) {
  {
    std::lock_guard lock(mutex_);
    offerConstraints_.push_back(std::move(constraints));
  }
  co_await holdIf("createOffer");
  if (script.failCreateOffer) throw EngineError(*script.failCreateOffer);
  if (script.descriptionMissing) co_return std::nullopt;
  SessionDescription offer;
  offer.type = SdpType::offer;
  offer.sdp = script.offerSdp;
  co_return offer;
}

Task<std::optional<SessionDescription>> FakePeerConnection::createAnswer(MediaConstraints constraints) {
  {
    std::lock_guard lock(mutex_);
    answerConstraints_.push_back(std::move(constraints));
  }
  co_await holdIf("createAnswer");
  if (script.failCreateAnswer) throw EngineError(*script.failCreateAnswer);
  if (script.descriptionMissing) co_return std::nullopt;
  SessionDescription answer;
  answer.type = SdpType::answer;
  answer.sdp = script.answerSdp;
  co_return answer;
}

Task<void> FakePeerConnection::setLocalDescription(SessionDescription description) {
  co_await holdIf("setLocalDescription");
  {
    std::lock_guard lock(mutex_);
    localSet_.push_back(description);
    if (!script.failSetLocal) local_ = description;
  }
  if (script.failSetLocal) throw EngineError(*script.failSetLocal);
  if (script.gatheringOnSetLocal) fireIceGatheringState(*script.gatheringOnSetLocal);
}

Task<void> FakePeerConnection::setRemoteDescription(SessionDescription description) {
  co_await holdIf("setRemoteDescription");
  {
    std::lock_guard lock(mutex_);
    remoteSet_.push_back(std::move(description));
  }
  if (script.failSetRemote) throw EngineError(*script.failSetRemote);
}

std::optional<SessionDescription> FakePeerConnection::localDescription() const {
  std::lock_guard lock(mutex_);
  return local_;
}

Task<void> FakePeerConnection::addIceCandidate(IceCandidate candidate) {
  {
    std::lock_guard lock(mutex_);
    if (remoteSet_.empty() || script.failSetRemote) throw EngineError("no remote description");
    if (!script.failAddCandidate) candidates_.push_back(std::move(candidate));
  }
  if (script.failAddCandidate) throw EngineError(*script.failAddCandidate);
  co_return;
}

std::shared_ptr<RtpSender> FakePeerConnection::addTrack(std::shared_ptr<VideoTrack> track,
                                                        std::vector<std::string> streamIds) {
  std::shared_ptr<FakeRtpSender> sender;
  if (!script.noSender) {
    RtpParameters initial;
    initial.encodings.resize(static_cast<std::size_t>(script.encodings));
    sender = std::make_shared<FakeRtpSender>(std::move(initial));
  }
  std::lock_guard lock(mutex_);
  tracks_.push_back({std::move(track), std::move(streamIds), sender});
  return sender;
}

std::shared_ptr<DataChannel> FakePeerConnection::createDataChannel(std::string label, DataChannelInit init) {
  auto channel = std::make_shared<FakeDataChannel>(std::move(label), init);
  std::lock_guard lock(mutex_);
  channels_.push_back(channel);
  return channel;
}

void FakePeerConnection::close() {
  {
    std::lock_guard lock(mutex_);
    ++closeCount_;
  }
  std::lock_guard lock(deliveryMutex_);
  if (!observer_) return;
  iceState_ = IceConnectionState::closed;
  signalingState_ = SignalingState::closed;
  observer_->onIceConnectionStateChange(IceConnectionState::closed);
  observer_ = nullptr;
}

void FakePeerConnection::fireSignalingState(SignalingState state) {
  deliver([&](PeerConnectionObserver& o) {
    signalingState_ = state;
    o.onSignalingStateChange(state);
  });
}

void FakePeerConnection::fireIceConnectionState(IceConnectionState state) {
  deliver([&](PeerConnectionObserver& o) {
    iceState_ = state;
    o.onIceConnectionStateChange(state);
  });
}

void FakePeerConnection::fireIceGatheringState(IceGatheringState state) {
  deliver([&](PeerConnectionObserver& o) {
    gatheringState_ = state;
    o.onIceGatheringStateChange(state);
  });
}

void FakePeerConnection::fireIceCandidate(IceCandidate candidate) {
  deliver([&](PeerConnectionObserver& o) { o.onIceCandidate(candidate); });
}

void FakePeerConnection::fireDataChannel(std::shared_ptr<DataChannel> channel) {
  deliver([&](PeerConnectionObserver& o) { o.onDataChannel(std::move(channel)); });
}

void FakePeerConnection::fireAddStream(MediaStream stream) {
  deliver([&](PeerConnectionObserver& o) { o.onAddStream(stream); });
}

void FakePeerConnection::setLocalSdp(std::string sdp) {
  std::lock_guard lock(mutex_);
  if (!local_) local_.emplace();
  local_->sdp = std::move(sdp);
}

#define ORVANE_FAKE_RECORD(Type, name, member) \
  Type FakePeerConnection::name() const {      \
    std::lock_guard lock(mutex_);              \
    return member;                             \
  }
ORVANE_FAKE_RECORD(std::vector<MediaConstraints>, offerConstraints, offerConstraints_)
ORVANE_FAKE_RECORD(std::vector<MediaConstraints>, answerConstraints, answerConstraints_)
ORVANE_FAKE_RECORD(std::vector<SessionDescription>, localDescriptionsSet, localSet_)
ORVANE_FAKE_RECORD(std::vector<SessionDescription>, remoteDescriptionsSet, remoteSet_)
ORVANE_FAKE_RECORD(std::vector<IceCandidate>, candidatesAdded, candidates_)
ORVANE_FAKE_RECORD(std::vector<FakePeerConnection::AddedTrack>, tracksAdded, tracks_)
ORVANE_FAKE_RECORD(std::vector<std::shared_ptr<FakeDataChannel>>, channelsCreated, channels_)
ORVANE_FAKE_RECORD(int, closeCount, closeCount_)
#undef ORVANE_FAKE_RECORD

bool FakePeerConnection::attached() const {
  std::lock_guard lock(deliveryMutex_);
  return observer_ != nullptr;
}

std::shared_ptr<PeerConnection> FakePeerConnectionFactory::createPeerConnection(const Configuration& configuration,
                                                                                const MediaConstraints& constraints,
                                                                                PeerConnectionObserver* observer) {
  std::lock_guard lock(mutex_);
  if (refuseConnections) return nullptr;
  auto connection = std::make_shared<FakePeerConnection>(configuration, constraints, observer, script);
  connections_.push_back(connection);
  return connection;
}

std::shared_ptr<VideoSource> FakePeerConnectionFactory::createVideoSource() {
  auto source = std::make_shared<FakeVideoSource>();
  std::lock_guard lock(mutex_);
  sources_.push_back(source);
  return source;
}

std::shared_ptr<VideoTrack> FakePeerConnectionFactory::createVideoTrack(std::shared_ptr<VideoSource> source,
                                                                        std::string trackId) {
  auto track = std::make_shared<FakeVideoTrack>(std::move(trackId), std::move(source));
  std::lock_guard lock(mutex_);
  tracks_.push_back(track);
  return track;
}

std::vector<std::shared_ptr<FakePeerConnection>> FakePeerConnectionFactory::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::shared_ptr<FakePeerConnection> FakePeerConnectionFactory::last() const {
  std::lock_guard lock(mutex_);
  return connections_.empty() ? nullptr : connections_.back();
}

std::vector<std::shared_ptr<FakeVideoSource>> FakePeerConnectionFactory::sources() const {
  std::lock_guard lock(mutex_);
  return sources_;
}

std::vector<std::shared_ptr<FakeVideoTrack>> FakePeerConnectionFactory::tracks() const {
  std::lock_guard lock(mutex_);
  return tracks_;
}

}  // namespace orvane::rtc
