#include "OrvaneCore/peer/gst/GstEngine.h"

#include <gst/gst.h>

#include <mutex>

#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/peer/gst/GstVideo.h"

namespace orvane::rtc {
namespace {
void initializeGStreamer() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}
}  // namespace

GstEngine::GstEngine(LogSink& sink) : sink_(sink) {}

void GstEngine::initializeSSL() { initializeGStreamer(); }

std::shared_ptr<PeerConnectionFactory> GstEngine::makeFactory() {
  initializeGStreamer();
  return std::make_shared<GstPeerConnectionFactory>(sink_);
}

GstPeerConnectionFactory::GstPeerConnectionFactory(LogSink& sink) : log_("com.kelbrin.Orvane.Core", "webrtc-gst", sink) {
  initializeGStreamer();
}

std::shared_ptr<PeerConnection> GstPeerConnectionFactory::createPeerConnection(const Configuration& configuration,
                                                                               const MediaConstraints&,
                                                                               PeerConnectionObserver* observer) {
  return GstPeerConnection::create(configuration, observer, log_);
}

std::shared_ptr<VideoSource> GstPeerConnectionFactory::createVideoSource() {
  return std::make_shared<AppSrcVideoSource>();
}

std::shared_ptr<VideoTrack> GstPeerConnectionFactory::createVideoTrack(std::shared_ptr<VideoSource> source,
                                                                       std::string trackId) {
  auto ours = std::dynamic_pointer_cast<AppSrcVideoSource>(source);
  if (!ours) return nullptr;
  return std::make_shared<LocalVideoTrack>(std::move(ours), std::move(trackId));
}

}  // namespace orvane::rtc
