#pragma once

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane::rtc {

// The engine on GStreamer 1.22's webrtcbin with libnice. See
// GstPeerConnection.h for what each connection is made of.
class GstEngine final : public Engine {
 public:
  explicit GstEngine(LogSink& sink = systemLogSink());
  // Initialises GStreamer once per process; there is no separate SSL set-up
  // (DTLS is GStreamer's own).
  void initializeSSL() override;
  std::shared_ptr<PeerConnectionFactory> makeFactory() override;

 private:
  LogSink& sink_;
};

class GstPeerConnectionFactory final : public PeerConnectionFactory {
 public:
  explicit GstPeerConnectionFactory(LogSink& sink = systemLogSink());
  // Null when GStreamer lacks webrtcbin or the pipeline does not start.
  std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                       const MediaConstraints& constraints,
                                                       PeerConnectionObserver* observer) override;
  std::shared_ptr<VideoSource> createVideoSource() override;
  // Null for a source this factory did not make.
  std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, std::string trackId) override;

 private:
  Logger log_;
};

}  // namespace orvane::rtc
