#include "tools/orvane-pad/InboundStats.h"

#include <gst/webrtc/webrtc.h>

#include <chrono>

#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/peer/gst/RtpStats.h"

namespace orvane::pad {

class StatsEngine::Factory final : public rtc::PeerConnectionFactory {
 public:
  explicit Factory(std::shared_ptr<rtc::PeerConnectionFactory> inner) : inner_(std::move(inner)) {}

  std::shared_ptr<rtc::PeerConnection> createPeerConnection(const rtc::Configuration& configuration,
                                                            const rtc::MediaConstraints& constraints,
                                                            rtc::PeerConnectionObserver* observer) override {
    auto pc = inner_->createPeerConnection(configuration, constraints, observer);
    std::lock_guard lock(mutex_);
    last_ = std::dynamic_pointer_cast<rtc::GstPeerConnection>(pc);
    return pc;
  }
  std::shared_ptr<rtc::VideoSource> createVideoSource() override { return inner_->createVideoSource(); }
  std::shared_ptr<rtc::VideoTrack> createVideoTrack(std::shared_ptr<rtc::VideoSource> source,
                                                    std::string trackId) override {
    return inner_->createVideoTrack(std::move(source), std::move(trackId));
  }

  std::shared_ptr<rtc::GstPeerConnection> last() {
    std::lock_guard lock(mutex_);
    return last_.lock();
  }

 private:
  const std::shared_ptr<rtc::PeerConnectionFactory> inner_;
  std::mutex mutex_;
  std::weak_ptr<rtc::GstPeerConnection> last_;
};

namespace {

using Counter = std::shared_ptr<StatsEngine::Readings>;

// Sums "bytes-received" over the inbound RTP streams of one stats reply.
void onStats(GstPromise* promise, gpointer data) {
  if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return;
  const GstStructure* stats = gst_promise_get_reply(promise);
  const std::uint64_t total = rtc::sumRtpBytes(stats, GST_WEBRTC_STATS_INBOUND_RTP, "bytes-received");
  const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  auto& readings = **static_cast<Counter*>(data);
  std::lock_guard lock(readings.mutex);
  readings.bytes[0] = readings.bytes[1];
  readings.at[0] = readings.at[1];
  readings.bytes[1] = total;
  readings.at[1] = now;
  ++readings.count;
}

void freeCounter(gpointer data) { delete static_cast<Counter*>(data); }

}  // namespace

StatsEngine::StatsEngine(LogSink& sink) : inner_(sink) {}

std::shared_ptr<rtc::PeerConnectionFactory> StatsEngine::makeFactory() {
  factory_ = std::make_shared<Factory>(inner_.makeFactory());
  return factory_;
}

void StatsEngine::refresh() {
  auto pc = factory_ ? factory_->last() : nullptr;
  if (!pc || pc->iceConnectionState() == rtc::IceConnectionState::closed) return;
  GstPromise* promise = gst_promise_new_with_change_func(onStats, new Counter(readings_), freeCounter);
  g_signal_emit_by_name(pc->webrtcbin(), "get-stats", nullptr, promise);
  gst_promise_unref(promise);
}

double StatsEngine::receivedKbps() const {
  std::lock_guard lock(readings_->mutex);
  const double seconds = readings_->at[1] - readings_->at[0];
  if (readings_->count < 2 || seconds <= 0 || readings_->bytes[1] < readings_->bytes[0]) return 0;
  return double(readings_->bytes[1] - readings_->bytes[0]) * 8 / 1000 / seconds;
}

}  // namespace orvane::pad
