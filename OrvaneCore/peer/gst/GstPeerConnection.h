#pragma once

#include <gst/gst.h>

#include <memory>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane {
class BlockingExecutor;
}

namespace orvane::rtc {

// One connection: its own pipeline around a webrtcbin (max-bundle, libnice
// without UPnP), driven through the element's action signals and promises,
// so no GLib main loop has to run. Host: appsrc → x264enc → rtph264pay →
// webrtcbin. Pad: webrtcbin → rtph264depay → h264parse → avdec_h264 →
// videoconvert → appsink (I420).
//
// Threads. Observer callbacks come on webrtcbin's threads (its operation
// thread for states, candidates, streams and description replies; the SCTP
// thread for data channels) and on the connection's liveness thread; decoded
// frames on the appsink's streaming thread; tasks resume on their executor.
// close() delivers "closed" on the calling thread and waits out callbacks in
// progress elsewhere; nothing is called after it returns. The pipeline then
// stops (TURN released first) on the `closer` given at creation, without
// one on the calling thread, or from inside a callback on a short-lived
// thread of its own.
//
// What webrtcbin 1.22 cannot do, and what stands in for it:
// - add-ice-candidate has no completion: addIceCandidate() refuses lines that
//   do not parse and reports success once a line is queued;
// - no continual gathering: libnice gathers once (trickled), whatever the
//   configuration asks;
// - no ICE consent freshness (Debian's libnice is too old for webrtcbin to
//   enable it): a peer that vanishes is found by its RTCP falling silent
//   (PeerLiveness) and reported "disconnected" within about 6 s;
// - ICE state is collated from the media transceivers only: a connection
//   without media stays "new" (ours always carry video);
// - an answer that moves the BUNDLE tag aborts webrtcbin: it is refused;
// - offers carry no a=msid and name the track after the transceiver: the
//   offer's text names it as addTrack() was told (withTrackNames);
// - unified plan only; offer constraints are not consulted (the transceivers
//   say what is sent and received: the host's video is sendonly).
class GstPeerConnection final : public PeerConnection {
 public:
  // Null when GStreamer lacks an element the connection needs.
  static std::shared_ptr<GstPeerConnection> create(const Configuration& configuration,
                                                   PeerConnectionObserver* observer, const Logger& log,
                                                   std::weak_ptr<BlockingExecutor> closer = {});
  ~GstPeerConnection() override;

  Task<std::optional<SessionDescription>> createOffer(MediaConstraints constraints) override;
  Task<std::optional<SessionDescription>> createAnswer(MediaConstraints constraints) override;
  Task<void> setLocalDescription(SessionDescription description) override;
  Task<void> setRemoteDescription(SessionDescription description) override;
  std::optional<SessionDescription> localDescription() const override;
  Task<void> addIceCandidate(IceCandidate candidate) override;

  std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track, std::vector<std::string> streamIds) override;
  std::shared_ptr<DataChannel> createDataChannel(std::string label, DataChannelInit init) override;

  SignalingState signalingState() const override;
  IceConnectionState iceConnectionState() const override;
  IceGatheringState iceGatheringState() const override;

  void close() override;

  // For tests and diagnostics: the connection's pipeline and its webrtcbin.
  GstElement* pipeline() const;
  GstElement* webrtcbin() const;

  struct Core;

 private:
  explicit GstPeerConnection(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  std::shared_ptr<Core> core_;
};

}  // namespace orvane::rtc
