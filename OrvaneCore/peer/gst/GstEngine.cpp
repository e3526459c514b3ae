#include "OrvaneCore/peer/gst/GstEngine.h"

#include <gst/gst.h>

#include <chrono>
#include <mutex>
#include <string>

#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/peer/gst/PlayoutDelayExtension.h"

namespace orvane::rtc {
namespace {

void initializeGStreamer() {
  static std::once_flag once;
  std::call_once(once, [] {
    gst_init(nullptr, nullptr);
    registerPlayoutDelayExtension();  // also for receiving: a depayloader looks extmap URIs up
  });
}

// Host: the send chain and webrtcbin with what it builds inside (RTP
// session, ICE, DTLS-SRTP, SCTP). Pad: the receive chain.
constexpr const char* kElements[] = {
    "appsrc", "x264enc", "capsfilter", "rtph264pay",
    "webrtcbin", "bin", "queue", "funnel", "clocksync", "fakesink",
    "rtpbin", "rtpsession", "rtpssrcdemux", "rtpjitterbuffer", "rtpptdemux", "rtpstorage", "rtprtxsend",
    "rtprtxreceive", "rtpfunnel", "rtpredenc", "rtpreddec", "rtpulpfecenc", "rtpulpfecdec",
    "nicesrc", "nicesink", "dtlssrtpenc", "dtlssrtpdec", "dtlssrtpdemux", "dtlsenc", "dtlsdec", "srtpenc", "srtpdec",
    "sctpenc", "sctpdec",
    "rtph264depay", "h264parse", "avdec_h264", "videoconvert", "appsink",
};

}  // namespace

GstEngine::GstEngine(LogSink& sink) : sink_(sink) {}

GstEngine::~GstEngine() {
  if (warmUpThread_.joinable()) warmUpThread_.join();
}

void GstEngine::initializeSSL() { initializeGStreamer(); }

std::shared_ptr<PeerConnectionFactory> GstEngine::makeFactory() {
  initializeGStreamer();
  return std::make_shared<GstPeerConnectionFactory>(sink_, largestFrame_, closer_);
}

std::span<const char* const> GstEngine::warmUpElements() { return kElements; }

void GstEngine::warmUp() {
  if (warmUpThread_.joinable()) return;
  warmUpThread_ = std::thread([this] {
    const Logger log("com.kelbrin.Orvane.Core", "webrtc-gst", sink_);
    const auto start = std::chrono::steady_clock::now();
    initializeGStreamer();
    int missing = 0;
    for (const char* name : kElements) {
      GstElement* element = gst_element_factory_make(name, nullptr);
      if (!element) {
        log.error("warm-up: GStreamer element missing: %{public}s", name);
        ++missing;
        continue;
      }
      gst_object_unref(gst_object_ref_sink(element));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    log.info("warm-up: %{public}d elements ready in %{public}lld ms", int(std::size(kElements)) - missing,
             static_cast<long long>(ms.count()));
    warmUpFinished_ = true;
  });
}

bool GstEngine::setLargestVideoFrame(VideoSize largest) {
  if (!declaredH264Level(largest)) return false;
  largestFrame_->set(largest);
  return true;
}

GstPeerConnectionFactory::GstPeerConnectionFactory(LogSink& sink, std::shared_ptr<const Locked<VideoSize>> largestFrame,
                                                   std::weak_ptr<BlockingExecutor> closer)
    : log_("com.kelbrin.Orvane.Core", "webrtc-gst", sink),
      largestFrame_(std::move(largestFrame)),
      closer_(std::move(closer)) {
  initializeGStreamer();
}

std::shared_ptr<PeerConnection> GstPeerConnectionFactory::createPeerConnection(const Configuration& configuration,
                                                                               const MediaConstraints&,
                                                                               PeerConnectionObserver* observer) {
  return GstPeerConnection::create(configuration, observer, log_, closer_);
}

std::shared_ptr<VideoSource> GstPeerConnectionFactory::createVideoSource() {
  return std::make_shared<AppSrcVideoSource>(largestFrame_ ? largestFrame_->get() : kDefaultLargestFrame);
}

std::shared_ptr<VideoTrack> GstPeerConnectionFactory::createVideoTrack(std::shared_ptr<VideoSource> source,
                                                                       std::string trackId) {
  auto ours = std::dynamic_pointer_cast<AppSrcVideoSource>(source);
  if (!ours) return nullptr;
  return std::make_shared<LocalVideoTrack>(std::move(ours), std::move(trackId));
}

}  // namespace orvane::rtc
