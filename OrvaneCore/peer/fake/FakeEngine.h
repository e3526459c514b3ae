#pragma once

// An engine that tests drive by hand: every call is recorded, nothing happens
// on its own, and events reach the observers only when a test fires them
// (from any thread). Operations complete at once with what `Script` says.
// Like a real engine, close() and setObserver(nullptr) wait for a callback in
// progress, and nothing is delivered after them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/peer/RtcEngine.h"

namespace orvane::rtc {

class FakeDataChannel final : public DataChannel {
 public:
  struct Message {
    std::string data;
    bool isBinary = false;
  };

  FakeDataChannel(std::string label, DataChannelInit init, DataChannelState state = DataChannelState::connecting);

  std::string label() const override { return label_; }
  DataChannelState readyState() const override { return state_.load(); }
  bool send(std::span<const std::uint8_t> data, bool isBinary) override;
  void setObserver(DataChannelObserver* observer) override;

  // Moves to `state`, then tells the observer.
  void setState(DataChannelState state);
  void open() { setState(DataChannelState::open); }
  void receive(std::string_view bytes, bool isBinary = false);

  const DataChannelInit& init() const { return init_; }
  std::vector<Message> sent() const;
  std::vector<std::string> sentText() const;
  DataChannelObserver* observer() const;

 private:
  const std::string label_;
  const DataChannelInit init_;
  std::atomic<DataChannelState> state_;
  mutable std::mutex deliveryMutex_;  // held while the observer runs
  DataChannelObserver* observer_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<Message> sent_;
};

class FakeRtpSender final : public RtpSender {
 public:
  explicit FakeRtpSender(RtpParameters initial) : parameters_(std::move(initial)) {}
  RtpParameters parameters() const override;
  bool setParameters(const RtpParameters& parameters) override;
  std::vector<RtpParameters> parametersSet() const;

 private:
  mutable std::mutex mutex_;
  RtpParameters parameters_;
  std::vector<RtpParameters> set_;
};

class FakeVideoSource final : public VideoSource {
 public:
  void deliverFrame(const VideoFrame& frame) override;
  std::vector<std::int64_t> deliveredTimestamps() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> timestamps_;
};

class FakeVideoTrack final : public VideoTrack {
 public:
  FakeVideoTrack(std::string id, std::shared_ptr<VideoSource> source)
      : id_(std::move(id)), source_(std::move(source)) {}
  std::string trackId() const override { return id_; }
  void addSink(VideoSink*) override {}
  void removeSink(VideoSink*) override {}
  const std::shared_ptr<VideoSource>& source() const { return source_; }

 private:
  std::string id_;
  std::shared_ptr<VideoSource> source_;
};

class FakePeerConnection final : public PeerConnection {
 public:
  // How the operations answer; read when each is called.
  struct Script {
    std::string offerSdp = "v=0\r\ns=fake-offer\r\n";
    std::string answerSdp = "v=0\r\ns=fake-answer\r\n";
    bool descriptionMissing = false;  // createOffer/createAnswer hand back neither SDP nor error
    std::optional<std::string> failCreateOffer, failCreateAnswer, failSetLocal, failSetRemote, failAddCandidate;
    bool noSender = false;
    int encodings = 2;
    // Fired from inside setLocalDescription, as a fast engine would.
    std::optional<IceGatheringState> gatheringOnSetLocal;
    // The operation named here ("createOffer", "setRemoteDescription", ...)
    // waits for release().
    std::string holdAt;
  };

  struct AddedTrack {
    std::shared_ptr<VideoTrack> track;
    std::vector<std::string> streamIds;
    std::shared_ptr<FakeRtpSender> sender;
  };

  FakePeerConnection(Configuration configuration, MediaConstraints constraints, PeerConnectionObserver* observer,
                     Script script);

  Task<std::optional<SessionDescription>> createOffer(MediaConstraints constraints) override;
  Task<std::optional<SessionDescription>> createAnswer(MediaConstraints constraints) override;
  Task<void> setLocalDescription(SessionDescription description) override;
  Task<void> setRemoteDescription(SessionDescription description) override;
  std::optional<SessionDescription> localDescription() const override;
  // Refuses candidates until a remote description is set, as engines do.
  Task<void> addIceCandidate(IceCandidate candidate) override;
  std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track, std::vector<std::string> streamIds) override;
  std::shared_ptr<DataChannel> createDataChannel(std::string label, DataChannelInit init) override;
  SignalingState signalingState() const override { return signalingState_.load(); }
  IceConnectionState iceConnectionState() const override { return iceState_.load(); }
  IceGatheringState iceGatheringState() const override { return gatheringState_.load(); }
  void close() override;

  // Driving. Each sets the state the getters report, then tells the observer.
  void fireSignalingState(SignalingState state);
  void fireIceConnectionState(IceConnectionState state);
  void fireIceGatheringState(IceGatheringState state);
  void fireIceCandidate(IceCandidate candidate);
  void fireDataChannel(std::shared_ptr<DataChannel> channel);
  void fireAddStream(MediaStream stream);
  // What localDescription() reports from now on, as if candidates were gathered.
  void setLocalSdp(std::string sdp);
  // Lets the held operation go on, or end with `error`.
  void release(std::optional<std::string> error = std::nullopt);

  Script script;  // set between steps from the test thread

  // Records.
  const Configuration& configuration() const { return configuration_; }
  const MediaConstraints& constraints() const { return constraints_; }
  std::vector<MediaConstraints> offerConstraints() const;
  std::vector<MediaConstraints> answerConstraints() const;
  std::vector<SessionDescription> localDescriptionsSet() const;
  std::vector<SessionDescription> remoteDescriptionsSet() const;
  std::vector<IceCandidate> candidatesAdded() const;
  std::vector<AddedTrack> tracksAdded() const;
  std::vector<std::shared_ptr<FakeDataChannel>> channelsCreated() const;
  int closeCount() const;
  bool attached() const;  // an observer still hears events

 private:
  template <typename Fn>
  void deliver(Fn fn);
  Task<void> holdIf(const char* operation);

  const Configuration configuration_;
  const MediaConstraints constraints_;
  std::atomic<SignalingState> signalingState_{SignalingState::stable};
  std::atomic<IceConnectionState> iceState_{IceConnectionState::newState};
  std::atomic<IceGatheringState> gatheringState_{IceGatheringState::newState};

  mutable std::mutex deliveryMutex_;  // held while the observer runs
  PeerConnectionObserver* observer_;

  mutable std::mutex mutex_;
  std::vector<MediaConstraints> offerConstraints_, answerConstraints_;
  std::vector<SessionDescription> localSet_, remoteSet_;
  std::optional<SessionDescription> local_;
  std::vector<IceCandidate> candidates_;
  std::vector<AddedTrack> tracks_;
  std::vector<std::shared_ptr<FakeDataChannel>> channels_;
  int closeCount_ = 0;
  Resolver<bool> held_;
};

class FakePeerConnectionFactory final : public PeerConnectionFactory {
 public:
  std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                       const MediaConstraints& constraints,
                                                       PeerConnectionObserver* observer) override;
  std::shared_ptr<VideoSource> createVideoSource() override;
  std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, std::string trackId) override;

  FakePeerConnection::Script script;  // copied into every new connection
  bool refuseConnections = false;     // createPeerConnection hands back null

  std::vector<std::shared_ptr<FakePeerConnection>> connections() const;
  std::shared_ptr<FakePeerConnection> last() const;  // null before the first
  std::vector<std::shared_ptr<FakeVideoSource>> sources() const;
  std::vector<std::shared_ptr<FakeVideoTrack>> tracks() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakePeerConnection>> connections_;
  std::vector<std::shared_ptr<FakeVideoSource>> sources_;
  std::vector<std::shared_ptr<FakeVideoTrack>> tracks_;
};

// Hands out its one factory, so a test can script it before the manager exists.
class FakeEngine final : public Engine {
 public:
  void initializeSSL() override { ++sslInitializations; }
  std::shared_ptr<PeerConnectionFactory> makeFactory() override {
    ++factoriesMade;
    return factory;
  }

  const std::shared_ptr<FakePeerConnectionFactory> factory = std::make_shared<FakePeerConnectionFactory>();
  std::atomic<int> sslInitializations{0};
  std::atomic<int> factoriesMade{0};
};

}  // namespace orvane::rtc
