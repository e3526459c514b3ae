#pragma once

// What the system needs from a WebRTC engine, as small abstract classes: the
// peer-connection manager is written against these, the GStreamer binding
// implements them, and tests drive a fake. Enumeration values are the
// engine's own numbering, which the manager logs and switches on.

#include <cstdint>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Task.h"

namespace orvane::rtc {

enum class IceTransportPolicy { all = 0, relay = 1 };
enum class ContinualGatheringPolicy { gatherOnce = 0, gatherContinually = 1 };
enum class SdpSemantics { planB = 0, unifiedPlan = 1 };
enum class SdpType { offer = 0, prAnswer = 1, answer = 2 };
enum class IceConnectionState { newState = 0, checking = 1, connected = 2, completed = 3, failed = 4,
                                disconnected = 5, closed = 6, count = 7 };
enum class IceGatheringState { newState = 0, gathering = 1, complete = 2 };
enum class SignalingState { stable = 0, haveLocalOffer = 1, haveLocalPrAnswer = 2, haveRemoteOffer = 3,
                            haveRemotePrAnswer = 4, closed = 5 };
enum class DataChannelState { connecting = 0, open = 1, closing = 2, closed = 3 };
// 0 is the engine's "no degradation": neither resolution nor frame rate is given up.
enum class DegradationPreference { disabled = 0, maintainFramerate = 1, maintainResolution = 2, balanced = 3 };

// An engine operation that failed; what() is its description.
struct EngineError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct IceServer {
  std::vector<std::string> urls;
  std::optional<std::string> username;
  std::optional<std::string> credential;
  bool operator==(const IceServer&) const = default;
};

struct Configuration {
  std::vector<IceServer> iceServers;
  IceTransportPolicy iceTransportPolicy = IceTransportPolicy::all;
  ContinualGatheringPolicy continualGatheringPolicy = ContinualGatheringPolicy::gatherOnce;
  SdpSemantics sdpSemantics = SdpSemantics::planB;
  bool operator==(const Configuration&) const = default;
};

struct MediaConstraints {
  std::map<std::string, std::string> mandatory;
  std::map<std::string, std::string> optional;
  bool operator==(const MediaConstraints&) const = default;
};

struct SessionDescription {
  SdpType type = SdpType::offer;
  std::string sdp;
  bool operator==(const SessionDescription&) const = default;
};

struct IceCandidate {
  std::string sdp;  // the "candidate:..." line
  std::int32_t sdpMLineIndex = 0;
  std::optional<std::string> sdpMid;
  bool operator==(const IceCandidate&) const = default;
};

struct RtpEncodingParameters {
  std::optional<int> minBitrateBps;
  std::optional<int> maxBitrateBps;
  bool operator==(const RtpEncodingParameters&) const = default;
};

struct RtpParameters {
  std::vector<RtpEncodingParameters> encodings;
  DegradationPreference degradationPreference = DegradationPreference::balanced;
  bool operator==(const RtpParameters&) const = default;
};

class RtpSender {
 public:
  virtual ~RtpSender() = default;
  virtual RtpParameters parameters() const = 0;
  // Returns false when the engine refuses them.
  virtual bool setParameters(const RtpParameters& parameters) = 0;
};

// One picture. Planes are viewed, not owned: `owner` keeps their memory
// alive for as long as any copy of the frame exists, so an engine can hold
// the frame without copying the pixels.
struct VideoFrame {
  enum class Format { i420, bgra };
  Format format = Format::i420;
  int width = 0;
  int height = 0;
  // i420: Y, U, V; bgra: one plane.
  std::array<const std::uint8_t*, 3> planes{};
  std::array<int, 3> strides{};
  std::shared_ptr<const void> owner;
  std::int64_t timestampNs = 0;
  int rotation = 0;  // degrees clockwise: 0, 90, 180, 270
};

// Receives decoded remote frames (pad), on an engine thread.
class VideoSink {
 public:
  virtual ~VideoSink() = default;
  virtual void onFrame(const VideoFrame& frame) = 0;
};

// Where local frames enter the engine (host).
class VideoSource {
 public:
  virtual ~VideoSource() = default;
  // Called on the capture thread for every frame; must not block for long.
  virtual void deliverFrame(const VideoFrame& frame) = 0;
};

// Hands frames to its source as if it had captured them itself.
class VideoCapturer {
 public:
  explicit VideoCapturer(std::shared_ptr<VideoSource> delegate) : delegate_(std::move(delegate)) {}
  void capture(const VideoFrame& frame) const { delegate_->deliverFrame(frame); }
  const std::shared_ptr<VideoSource>& delegate() const { return delegate_; }

 private:
  std::shared_ptr<VideoSource> delegate_;
};

class VideoTrack {
 public:
  virtual ~VideoTrack() = default;
  virtual std::string trackId() const = 0;
  // Remote tracks: decoded frames go to the sink until it is removed.
  virtual void addSink(VideoSink* sink) = 0;
  virtual void removeSink(VideoSink* sink) = 0;
};

struct MediaStream {
  std::string streamId;
  std::vector<std::shared_ptr<VideoTrack>> videoTracks;
};

struct DataChannelInit {
  bool ordered = true;
  std::optional<int> maxRetransmits;
  std::optional<int> maxPacketLifeTimeMs;
};

class DataChannel;

class DataChannelObserver {
 public:
  virtual ~DataChannelObserver() = default;
  virtual void onStateChange(DataChannel& channel) = 0;
  virtual void onMessage(DataChannel& channel, std::span<const std::uint8_t> data, bool isBinary) = 0;
};

class DataChannel {
 public:
  virtual ~DataChannel() = default;
  virtual std::string label() const = 0;
  // Callable from any thread, also from inside a callback: it must not wait
  // for a callback in progress (the manager reads it under its queue lock).
  virtual DataChannelState readyState() const = 0;
  // Queues one message; false when the channel cannot take it.
  virtual bool send(std::span<const std::uint8_t> data, bool isBinary) = 0;
  // Null clears it. After it is cleared (and the call has returned) no
  // callback reaches the old observer. May be called from inside a callback
  // of the peer connection or of another channel.
  virtual void setObserver(DataChannelObserver* observer) = 0;
};

// Engine events, on the engine's own threads.
class PeerConnectionObserver {
 public:
  virtual ~PeerConnectionObserver() = default;
  virtual void onSignalingStateChange(SignalingState state) = 0;
  virtual void onIceConnectionStateChange(IceConnectionState state) = 0;
  virtual void onIceGatheringStateChange(IceGatheringState state) = 0;
  virtual void onIceCandidate(const IceCandidate& candidate) = 0;
  virtual void onDataChannel(std::shared_ptr<DataChannel> channel) = 0;
  virtual void onAddStream(const MediaStream& stream) = 0;
};

class PeerConnection {
 public:
  virtual ~PeerConnection() = default;

  // Completion with a description, with neither (nullopt), or an EngineError.
  virtual Task<std::optional<SessionDescription>> createOffer(MediaConstraints constraints) = 0;
  virtual Task<std::optional<SessionDescription>> createAnswer(MediaConstraints constraints) = 0;
  virtual Task<void> setLocalDescription(SessionDescription description) = 0;
  virtual Task<void> setRemoteDescription(SessionDescription description) = 0;
  // With the candidates gathered so far.
  virtual std::optional<SessionDescription> localDescription() const = 0;
  // Throws EngineError when the engine refuses the candidate.
  virtual Task<void> addIceCandidate(IceCandidate candidate) = 0;

  // Null when the engine hands back no sender.
  virtual std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track,
                                              std::vector<std::string> streamIds) = 0;
  virtual std::shared_ptr<DataChannel> createDataChannel(std::string label, DataChannelInit init) = 0;

  virtual SignalingState signalingState() const = 0;
  virtual IceConnectionState iceConnectionState() const = 0;
  virtual IceGatheringState iceGatheringState() const = 0;

  // Ends the connection; the observer hears "closed" and then nothing more.
  // When close() returns no observer callback is running or will start, so
  // the observer may be freed at once. Operations in flight still complete
  // (with an error, usually), so no caller waits for ever. Never called from
  // inside a callback.
  virtual void close() = 0;
};

// One per peer-connection manager.
class PeerConnectionFactory {
 public:
  virtual ~PeerConnectionFactory() = default;
  // `observer` must outlive the connection or be detached by close().
  virtual std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                               const MediaConstraints& constraints,
                                                               PeerConnectionObserver* observer) = 0;
  virtual std::shared_ptr<VideoSource> createVideoSource() = 0;
  virtual std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, std::string trackId) = 0;
};

// The engine as a whole: its process-wide set-up and its factories.
class Engine {
 public:
  virtual ~Engine() = default;
  // Process-wide initialisation; safe to call more than once.
  virtual void initializeSSL() = 0;
  virtual std::shared_ptr<PeerConnectionFactory> makeFactory() = 0;
};

}  // namespace orvane::rtc
