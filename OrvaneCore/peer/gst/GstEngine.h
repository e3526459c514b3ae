#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <thread>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/peer/gst/GstVideo.h"
#include "OrvaneCore/runtime/BlockingExecutor.h"
#include "OrvaneCore/runtime/Locked.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane::rtc {

// The engine on GStreamer 1.22's webrtcbin with libnice. See
// GstPeerConnection.h for what each connection is made of.
class GstEngine final : public Engine {
 public:
  explicit GstEngine(LogSink& sink = systemLogSink());
  // Waits for a warm-up still under way and for closed connections' pipelines
  // to stop.
  ~GstEngine() override;
  // Initialises GStreamer once per process; there is no separate SSL set-up
  // (DTLS is GStreamer's own).
  void initializeSSL() override;
  std::shared_ptr<PeerConnectionFactory> makeFactory() override;

  // Makes, on a thread of its own, one of every element a connection is
  // built from and drops it, so the first connection finds the plugins
  // loaded and the DTLS certificate made (its RSA key alone takes 0.2-1.8 s
  // on the first DTLS element of the process). Returns at once; later calls
  // do nothing. A missing element is logged; connections then fail as they
  // would have.
  void warmUp();
  bool warmUpFinished() const { return warmUpFinished_; }
  // Every element factory the connections use, host and pad.
  static std::span<const char* const> warmUpElements();

  // The largest picture a host session may send: the capture's size at its
  // long-edge limit, not the current one, since the offer's H.264 level
  // cannot change mid-session. Sources made afterwards declare for it;
  // kDefaultLargestFrame until set. False, and nothing changes, for a size
  // no level holds.
  bool setLargestVideoFrame(VideoSize largest);

 private:
  LogSink& sink_;
  std::shared_ptr<Locked<VideoSize>> largestFrame_ = std::make_shared<Locked<VideoSize>>(kDefaultLargestFrame);
  // Stops closed connections' pipelines off the caller's thread.
  std::shared_ptr<BlockingExecutor> closer_ = std::make_shared<BlockingExecutor>(1, "orvane-pc-close");
  std::thread warmUpThread_;
  std::atomic<bool> warmUpFinished_{false};
};

class GstPeerConnectionFactory final : public PeerConnectionFactory {
 public:
  // `largestFrame` is read for each video source made; `closer` stops the
  // pipelines of closed connections.
  explicit GstPeerConnectionFactory(LogSink& sink = systemLogSink(),
                                    std::shared_ptr<const Locked<VideoSize>> largestFrame = nullptr,
                                    std::weak_ptr<BlockingExecutor> closer = {});
  // Null when GStreamer lacks webrtcbin or the pipeline does not start.
  std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                       const MediaConstraints& constraints,
                                                       PeerConnectionObserver* observer) override;
  std::shared_ptr<VideoSource> createVideoSource() override;
  // Null for a source this factory did not make.
  std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, std::string trackId) override;

 private:
  Logger log_;
  std::shared_ptr<const Locked<VideoSize>> largestFrame_;
  std::weak_ptr<BlockingExecutor> closer_;
};

}  // namespace orvane::rtc
