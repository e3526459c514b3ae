#include "OrvaneCore/peer/gst/GstPeerConnection.h"

#include <gio/gio.h>
#include <gst/rtp/gstrtcpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "OrvaneCore/peer/gst/EngineEnums.h"
#include "OrvaneCore/peer/gst/GstDataChannel.h"
#include "OrvaneCore/peer/gst/GstRef.h"
#include "OrvaneCore/peer/gst/GstVideo.h"
#include "OrvaneCore/peer/gst/IceServers.h"
#include "OrvaneCore/peer/gst/ObserverSlot.h"
#include "OrvaneCore/peer/gst/PeerLiveness.h"
#include "OrvaneCore/peer/gst/ReferenceVideo.h"
#include "OrvaneCore/peer/gst/SdpText.h"
#include "OrvaneCore/runtime/BlockingExecutor.h"

namespace orvane::rtc {
namespace {

// Room for a retransmission over a wide-area round trip (with 50 ms, 40 ms
// round trips lost most); packets that arrive in order are passed on at once,
// so this only bounds the wait for a lost one.
constexpr guint kJitterBufferMs = 150;
// Many RTCP intervals; with one tick it stays well inside the 10 s in which
// a vanished pad must be reported.
constexpr std::int64_t kSilenceLimitNs = 6'000'000'000;
constexpr std::int64_t kFirstRtcpLimitNs = 15'000'000'000;
constexpr auto kLivenessTick = std::chrono::milliseconds(250);
constexpr guint64 kRtcpIntervalNs = 100'000'000;
// RTCP's share in bytes per second, fixed: rtpsession otherwise takes 5 % of a
// guessed 64 kB/s, and a burst of long NACK lists then stretches the interval
// past the jitter buffer's wait, so that requests expire unsent, the next
// keyframe is damaged in turn and the picture freezes for seconds. The
// interval's minimum keeps the real share small.
constexpr double kRtcpBytesPerSecond = 64'000;
constexpr gint64 kTurnReleaseMaxUs = 500'000;
// How long a closing connection waits for the peer to acknowledge the
// closing of its channels (usrsctp takes about 200 ms even on loopback).
constexpr gint64 kChannelCloseMaxUs = 300'000;
// What an offer without video of ours announces it can receive.
constexpr int kOfferedH264Level = 31;

std::int64_t steadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::exception_ptr engineError(std::string what) { return std::make_exception_ptr(EngineError(std::move(what))); }

// The error text of a promise reply, if it carries one.
std::optional<std::string> replyError(const GstStructure* reply) {
  if (!reply || !gst_structure_has_field(reply, "error")) return std::nullopt;
  GError* error = nullptr;
  gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
  std::string text = error && error->message ? error->message : "webrtcbin reported an error";
  if (error) g_error_free(error);
  return text;
}

std::optional<SessionDescription> descriptionFromGst(const GstWebRTCSessionDescription* description) {
  const auto type = description ? rtc::fromGst(description->type) : std::nullopt;
  if (!type) return std::nullopt;
  gchar* text = gst_sdp_message_as_text(description->sdp);
  SessionDescription out{*type, text ? text : ""};
  g_free(text);
  return out;
}

// A webrtcbin promise that settles `resolver` with `settle(reply)` on the
// thread that replies. A promise webrtcbin drops unanswered fails it.
template <typename T, typename Settle>
GstPromise* promiseFor(Resolver<T> resolver, Settle settle) {
  struct Context {
    Resolver<T> resolver;
    Settle settle;
  };
  auto* context = new Context{std::move(resolver), std::move(settle)};
  return gst_promise_new_with_change_func(
      [](GstPromise* promise, gpointer data) {
        auto* c = static_cast<Context*>(data);
        if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
          c->resolver.fail(engineError("webrtcbin interrupted the operation"));
          return;
        }
        const GstStructure* reply = gst_promise_get_reply(promise);
        if (auto error = replyError(reply)) {
          c->resolver.fail(engineError(*error));
          return;
        }
        try {
          c->resolver.resolve(c->settle(reply));
        } catch (...) {
          c->resolver.fail(std::current_exception());
        }
      },
      context,
      [](gpointer data) {
        auto* c = static_cast<Context*>(data);
        c->resolver.fail(engineError("webrtcbin dropped the operation"));  // no-op once settled
        delete c;
      });
}

GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  const auto& log = *static_cast<Logger*>(data);
  const bool isError = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
  if (isError || GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (isError) {
      gst_message_parse_error(message, &error, &debug);
    } else {
      gst_message_parse_warning(message, &error, &debug);
    }
    log.log(isError ? LogLevel::Error : LogLevel::Default, "%{public}s from %{public}s: %{public}s",
            isError ? "pipeline error" : "pipeline warning", GST_MESSAGE_SRC_NAME(message),
            error ? error->message : "");
    if (error) g_error_free(error);
    g_free(debug);
  }
  // Nobody pops this bus: dropping keeps it from growing. A dropping
  // handler owns the message.
  gst_message_unref(message);
  return GST_BUS_DROP;
}

struct LivenessTimer {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};

}  // namespace

struct GstPeerConnection::Core : std::enable_shared_from_this<Core> {
  Core(Logger l, PeerConnectionObserver* o) : log(std::move(l)), observer(o) {}
  ~Core();

  Logger log;
  GstElement* pipeline = nullptr;
  GstElement* webrtc = nullptr;
  GstElement* rtpbin = nullptr;
  ObserverSlot<PeerConnectionObserver> observer;
  std::atomic<bool> closed{false};
  std::weak_ptr<BlockingExecutor> closer;  // where the pipeline stops once closed
  std::atomic<SignalingState> signaling{SignalingState::stable};
  std::atomic<IceGatheringState> gathering{IceGatheringState::newState};
  std::atomic<IceConnectionState> ice{IceConnectionState::newState};  // as reported

  // Orders ICE reports from webrtcbin's thread and the liveness thread.
  std::recursive_mutex iceMutex;
  IceConnectionState rawIce = IceConnectionState::newState;
  PeerLiveness liveness{kSilenceLimitNs, kFirstRtcpLimitNs};

  std::mutex mutex;  // guards what follows
  std::vector<std::string> localMids;
  std::vector<std::string> remoteMids;
  std::string localSdp;   // the last local description set
  std::string remoteSdp;  // the last remote description applied
  std::map<std::string, std::shared_ptr<RemoteVideoTrack>> remoteTracks;  // by mid
  std::map<GstWebRTCDataChannel*, std::shared_ptr<WebRtcDataChannel>> preparedChannels;
  struct Channel {
    std::weak_ptr<WebRtcDataChannel> wrapper;  // the owner's
    GstPtr<GstWebRTCDataChannel> gst;          // ours, to close it towards the peer
  };
  std::vector<Channel> channels;
  std::vector<std::pair<std::shared_ptr<AppSrcVideoSource>, std::shared_ptr<AppSrcInput>>> sending;
  std::vector<LocalTrackName> sentTracks;
  // The encoders the receiver's reports steer, by SSRC.
  std::map<guint, std::shared_ptr<EncoderRtpSender>> steered;
  // The RTP session whose incoming RTCP is read (one: everything is bundled).
  GObject* rtcpSession = nullptr;
  gulong rtcpHandler = 0;
  std::optional<int> sentH264Level;  // the highest of the sent tracks'

  std::vector<std::pair<gpointer, gulong>> handlers;
  std::vector<GstPtr<GstWebRTCDataChannel>> channelsToClose;  // set once by close(), for teardown()
  std::shared_ptr<LivenessTimer> timer = std::make_shared<LivenessTimer>();
  std::thread livenessThread;

  void startLiveness();
  void stopLiveness();
  void livenessTick();
  void iceChanged(IceConnectionState raw);
  void reportIceLocked();
  void remoteApplied(const std::string& sdp);
  void watchRtcp(GstElement* rtpsession);
  void receiverReports(GstBuffer* rtcp);
  OneShot<std::optional<SessionDescription>> requestDescription(const char* action, const char* field);
  OneShot<bool> applyDescription(SessionDescription description, bool local);
  std::optional<std::string> bundleTagMoved(const SessionDescription& description, bool local);
  void addCandidate(const IceCandidate& candidate);
  void close();
  void teardown();
  // Under `mutex`.
  void track(const std::shared_ptr<WebRtcDataChannel>& wrapper, GstWebRTCDataChannel* channel) {
    channels.push_back({wrapper, GstPtr<GstWebRTCDataChannel>(GST_WEBRTC_DATA_CHANNEL(gst_object_ref(channel)))});
  }

  template <typename Fn>
  void notify(Fn fn) {
    if (!closed) observer.call(fn);
  }
};

namespace {

using Core = GstPeerConnection::Core;

void onSignalingState(GstElement* webrtc, GParamSpec*, gpointer data) {
  auto& core = held<Core>(data);
  GstWebRTCSignalingState raw;
  g_object_get(webrtc, "signaling-state", &raw, nullptr);
  const auto state = fromGst(raw);
  if (!state || core.closed) return;
  core.signaling = *state;
  core.notify([&](PeerConnectionObserver& o) { o.onSignalingStateChange(*state); });
}

void onGatheringState(GstElement* webrtc, GParamSpec*, gpointer data) {
  auto& core = held<Core>(data);
  GstWebRTCICEGatheringState raw;
  g_object_get(webrtc, "ice-gathering-state", &raw, nullptr);
  const auto state = fromGst(raw);
  if (!state || core.closed) return;
  core.gathering = *state;
  core.notify([&](PeerConnectionObserver& o) { o.onIceGatheringStateChange(*state); });
}

void onIceConnectionState(GstElement* webrtc, GParamSpec*, gpointer data) {
  auto& core = held<Core>(data);
  GstWebRTCICEConnectionState raw;
  g_object_get(webrtc, "ice-connection-state", &raw, nullptr);
  if (const auto state = fromGst(raw)) core.iceChanged(*state);
}

void onIceCandidate(GstElement*, guint mline, gchar* line, gpointer data) {
  auto& core = held<Core>(data);
  if (!line || !*line || core.closed) return;
  IceCandidate candidate;
  candidate.sdp = line;
  candidate.sdpMLineIndex = std::int32_t(mline);
  {
    // webrtcbin gives no mid: it is the local description's for that m-line.
    std::lock_guard lock(core.mutex);
    if (mline < core.localMids.size() && !core.localMids[mline].empty()) candidate.sdpMid = core.localMids[mline];
  }
  core.notify([&](PeerConnectionObserver& o) { o.onIceCandidate(candidate); });
}

// Connects the channel before webrtcbin starts delivering on it.
void onPrepareDataChannel(GstElement*, GstWebRTCDataChannel* channel, gboolean isLocal, gpointer data) {
  auto& core = held<Core>(data);
  if (isLocal || core.closed) return;
  auto wrapper = WebRtcDataChannel::wrap(channel, core.log);
  std::lock_guard lock(core.mutex);
  core.preparedChannels[channel] = wrapper;
  core.track(wrapper, channel);
}

void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
  auto& core = held<Core>(data);
  if (core.closed) return;
  std::shared_ptr<WebRtcDataChannel> wrapper;
  {
    std::lock_guard lock(core.mutex);
    if (auto node = core.preparedChannels.extract(channel)) wrapper = std::move(node.mapped());
  }
  if (!wrapper) {
    wrapper = WebRtcDataChannel::wrap(channel, core.log);
    std::lock_guard lock(core.mutex);
    core.track(wrapper, channel);
  }
  core.notify([&](PeerConnectionObserver& o) { o.onDataChannel(wrapper); });
}

void onPadAdded(GstElement*, GstPad* pad, gpointer data) {
  auto& core = held<Core>(data);
  if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC || core.closed) return;
  std::string mid;
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(pad), "transceiver")) {
    g_object_get(pad, "transceiver", &transceiver, nullptr);
  }
  if (transceiver) {
    gchar* m = nullptr;
    g_object_get(transceiver, "mid", &m, nullptr);
    mid = m ? m : "";
    g_free(m);
    gst_object_unref(transceiver);
  }
  std::shared_ptr<RemoteVideoTrack> track;
  bool announce = false;
  {
    std::lock_guard lock(core.mutex);
    auto& slot = core.remoteTracks[mid];
    if (!slot) {
      slot = std::make_shared<RemoteVideoTrack>(mid.empty() ? "video" : mid);
      announce = true;
    }
    track = slot;
  }
  if (announce) {
    MediaStream stream{"default", {track}};
    core.notify([&](PeerConnectionObserver& o) { o.onAddStream(stream); });
  }
  std::string error;
  if (!addVideoReceiveChain(core.pipeline, pad, track, error)) core.log.error("incoming video: %{public}s", error);
}

// Transceivers webrtcbin makes for a remote offer request retransmissions
// (NACK) like the host's own; webrtcbin leaves that off.
void onNewTransceiver(GstElement*, GstWebRTCRTPTransceiver* transceiver, gpointer) {
  g_object_set(transceiver, "do-nack", TRUE, nullptr);
}

// RTCP every 100 ms or so even while no media flows (rtpsession's default 5 s
// minimum, randomised up to 7.5 s, would read as a vanished peer). A
// receiver's retransmission requests ride on RTCP, and only one early packet
// is allowed between two regular ones: at a 1 s interval most requests
// expired unsent (2 % loss, 40 ms round trip: 9 decoded frames/s; 27 now).
// The sender's reports are also what the receiver's round trips answer.
// A screen is sent only when it changes, so the jitter buffer cannot foresee
// the next packet: guessing from past spacing, it would declare the first
// packet of a change after a quiet spell lost and drop it when it came,
// leaving that picture without its first slice. Only a gap in the sequence is
// a loss (and asks for a retransmission).
void onRtpbinElement(GstBin*, GstElement* element, gpointer data) {
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "rtcp-min-interval")) {
    g_object_set(element, "rtcp-min-interval", kRtcpIntervalNs, "rtcp-fraction", kRtcpBytesPerSecond, nullptr);
  }
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "rtx-next-seqnum")) {
    g_object_set(element, "rtx-next-seqnum", FALSE, nullptr);
  }
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "internal-session")) held<Core>(data).watchRtcp(element);
}

// RTCP from the peer: its sign of life.
void onSsrcActive(GstElement*, guint, guint, gpointer data) { held<Core>(data).liveness.onRtcp(steadyNowNs()); }

// rtpsession stamps its sender reports with the wall clock as NTP time.
std::uint32_t ntpMiddle32Now() {
  constexpr std::int64_t kNtpEpochOffsetSeconds = 2'208'988'800;  // 1900 → 1970
  const std::int64_t us = g_get_real_time();
  const std::uint64_t seconds = std::uint64_t(us / 1'000'000 + kNtpEpochOffsetSeconds);
  const std::uint64_t fraction = (std::uint64_t(us % 1'000'000) << 32) / 1'000'000;
  return std::uint32_t(((seconds & 0xFFFF) << 16) | (fraction >> 16));
}

void onReceivingRtcp(GObject*, GstBuffer* buffer, gpointer core) { static_cast<Core*>(core)->receiverReports(buffer); }

}  // namespace

GstPeerConnection::Core::~Core() {
  stopLiveness();
  if (rtcpSession) {
    g_signal_handler_disconnect(rtcpSession, rtcpHandler);
    g_object_unref(rtcpSession);
  }
  if (pipeline) {
    if (!closed) gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  if (webrtc) gst_object_unref(webrtc);
  if (rtpbin) gst_object_unref(rtpbin);
}

void GstPeerConnection::Core::startLiveness() {
  livenessThread = std::thread([timer = timer, weak = weak_from_this()] {
    std::unique_lock lock(timer->mutex);
    while (!timer->wake.wait_for(lock, kLivenessTick, [&] { return timer->stop; })) {
      lock.unlock();
      if (auto core = weak.lock()) {
        core->livenessTick();
      } else {
        return;
      }
      lock.lock();
    }
  });
}

void GstPeerConnection::Core::stopLiveness() {
  {
    std::lock_guard lock(timer->mutex);
    timer->stop = true;
  }
  timer->wake.notify_all();
  if (!livenessThread.joinable()) return;
  if (livenessThread.get_id() == std::this_thread::get_id()) {
    livenessThread.detach();  // closed from its own callback: it ends on its next turn
  } else {
    livenessThread.join();
  }
}

void GstPeerConnection::Core::livenessTick() {
  // Never waits for the lock: close() may hold it while joining this thread.
  std::unique_lock lock(iceMutex, std::try_to_lock);
  if (lock.owns_lock() && !closed) reportIceLocked();
}

void GstPeerConnection::Core::iceChanged(IceConnectionState raw) {
  std::lock_guard lock(iceMutex);
  if (closed) return;
  rawIce = raw;
  liveness.onIceState(raw, steadyNowNs());
  reportIceLocked();
}

void GstPeerConnection::Core::reportIceLocked() {
  const auto next = liveness.effective(rawIce, steadyNowNs());
  if (ice.exchange(next) == next) return;
  if (next == IceConnectionState::disconnected && next != rawIce) {
    log.notice("no RTCP from the peer for %{public}ld ms: reporting it disconnected", kSilenceLimitNs / 1'000'000);
  }
  notify([&](PeerConnectionObserver& o) { o.onIceConnectionStateChange(next); });
}

void GstPeerConnection::Core::watchRtcp(GstElement* rtpsession) {
  GObject* session = nullptr;
  g_object_get(rtpsession, "internal-session", &session, nullptr);
  if (!session) return;
  std::lock_guard lock(mutex);
  if (rtcpSession || closed) {
    g_object_unref(session);
    return;
  }
  rtcpSession = session;
  // Not held: the session lives in this core's pipeline and the handler goes in ~Core.
  rtcpHandler = g_signal_connect(session, "on-receiving-rtcp", G_CALLBACK(onReceivingRtcp), this);
}

// Each report block on a stream we send steers its encoder. Read here, not
// from rtpsession's source stats: those keep only a peer's last block, which
// is about the retransmission stream when the peer reports both.
void GstPeerConnection::Core::receiverReports(GstBuffer* buffer) {
  struct Block {
    guint32 ssrc;
    double fractionLost;
    std::optional<double> rttSeconds;
  };
  std::vector<Block> blocks;
  GstRTCPBuffer rtcp = GST_RTCP_BUFFER_INIT;
  if (closed || !gst_rtcp_buffer_map(buffer, GST_MAP_READ, &rtcp)) return;
  const std::uint32_t now = ntpMiddle32Now();
  GstRTCPPacket packet;
  for (gboolean more = gst_rtcp_buffer_get_first_packet(&rtcp, &packet); more;
       more = gst_rtcp_packet_move_to_next(&packet)) {
    const auto type = gst_rtcp_packet_get_type(&packet);
    if (type != GST_RTCP_TYPE_RR && type != GST_RTCP_TYPE_SR) continue;
    for (guint i = 0; i < gst_rtcp_packet_get_rb_count(&packet); ++i) {
      guint32 ssrc = 0, highest = 0, jitter = 0, lsr = 0, dlsr = 0;
      guint8 fraction = 0;
      gint32 lost = 0;
      gst_rtcp_packet_get_rb(&packet, i, &ssrc, &fraction, &lost, &highest, &jitter, &lsr, &dlsr);
      blocks.push_back({ssrc, fraction / 256.0, roundTripSeconds(now, lsr, dlsr)});
    }
  }
  gst_rtcp_buffer_unmap(&rtcp);
  const double nowSeconds = double(steadyNowNs()) / 1e9;
  for (const auto& block : blocks) {
    std::shared_ptr<EncoderRtpSender> sender;
    {
      std::lock_guard lock(mutex);
      if (auto it = steered.find(block.ssrc); it != steered.end()) sender = it->second;
    }
    if (!sender) continue;
    if (const auto bps = sender->onReceiverReport(block.fractionLost, block.rttSeconds, nowSeconds)) {
      log.info("video: %{public}d kbit/s (loss %{public}.1f %%, round trip %{public}.0f ms)", *bps / 1000,
               block.fractionLost * 100, block.rttSeconds.value_or(0) * 1000);
    }
  }
}

void GstPeerConnection::Core::remoteApplied(const std::string& sdp) {
  std::map<std::string, MediaStream> streams;
  {
    std::lock_guard lock(mutex);
    remoteMids = mediaMids(sdp);
    remoteSdp = sdp;
    for (const auto& video : remoteVideos(sdp)) {
      auto& slot = remoteTracks[video.mid];
      if (slot) continue;
      slot = std::make_shared<RemoteVideoTrack>(video.trackId);
      auto& stream = streams[video.streamId];
      stream.streamId = video.streamId;
      stream.videoTracks.push_back(slot);
    }
  }
  for (const auto& [id, stream] : streams) notify([&](PeerConnectionObserver& o) { o.onAddStream(stream); });
}

OneShot<std::optional<SessionDescription>> GstPeerConnection::Core::requestDescription(const char* action,
                                                                                      const char* field) {
  auto [resolver, result] = makeOneShot<std::optional<SessionDescription>>();
  if (closed) {
    resolver.fail(engineError("the connection is closed"));
    return result;
  }
  const std::string key = field;
  std::vector<LocalTrackName> tracks;
  int level = kOfferedH264Level;
  {
    std::lock_guard lock(mutex);
    tracks = sentTracks;
    level = sentH264Level.value_or(level);
  }
  auto settle = [key, tracks, level](const GstStructure* reply) -> std::optional<SessionDescription> {
    GstWebRTCSessionDescription* description = nullptr;
    if (reply) gst_structure_get(reply, key.c_str(), GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description, nullptr);
    auto out = descriptionFromGst(description);
    if (description) gst_webrtc_session_description_free(description);
    if (out && out->type == SdpType::offer) out->sdp = withTrackNames(withBrowserH264(out->sdp, level), tracks);
    return out;
  };
  GstPromise* promise = promiseFor(resolver, std::move(settle));
  g_signal_emit_by_name(webrtc, action, nullptr, promise);
  gst_promise_unref(promise);
  return result;
}

std::optional<std::string> GstPeerConnection::Core::bundleTagMoved(const SessionDescription& description, bool local) {
  if (description.type == SdpType::offer) return std::nullopt;
  std::string offer;
  {
    std::lock_guard lock(mutex);
    offer = local ? remoteSdp : localSdp;
  }
  // An answer may move the tag off a rejected section (RFC 8843), but
  // webrtcbin 1.22 then aborts the process on an assertion.
  const auto offered = bundleTag(offer), answered = bundleTag(description.sdp);
  if (!offered || !answered || *offered == *answered) return std::nullopt;
  return "the answer moves the BUNDLE tag from " + *offered + " to " + *answered + ", which webrtcbin cannot take";
}

OneShot<bool> GstPeerConnection::Core::applyDescription(SessionDescription description, bool local) {
  auto [resolver, result] = makeOneShot<bool>();
  GstSDPMessage* sdp = nullptr;
  if (closed) {
    resolver.fail(engineError("the connection is closed"));
    return result;
  }
  if (!local) description.sdp = withExplicitDirections(description.sdp);
  if (const auto error = bundleTagMoved(description, local)) {
    resolver.fail(engineError(*error));
    return result;
  }
  if (gst_sdp_message_new_from_text(description.sdp.c_str(), &sdp) != GST_SDP_OK ||
      gst_sdp_message_medias_len(sdp) == 0) {
    if (sdp) gst_sdp_message_free(sdp);
    resolver.fail(engineError("the session description does not parse"));
    return result;
  }
  if (local) {
    // Before webrtcbin gathers: its first candidate may precede the reply.
    std::lock_guard lock(mutex);
    localMids = mediaMids(description.sdp);
    localSdp = description.sdp;
  }
  std::weak_ptr<Core> weak = weak_from_this();
  GstPromise* promise = promiseFor(resolver, [weak, local, text = description.sdp](const GstStructure*) {
    if (auto core = weak.lock(); core && !local) core->remoteApplied(text);
    return true;
  });
  GstWebRTCSessionDescription* gstDescription = gst_webrtc_session_description_new(toGst(description.type), sdp);
  g_signal_emit_by_name(webrtc, local ? "set-local-description" : "set-remote-description", gstDescription, promise);
  gst_webrtc_session_description_free(gstDescription);
  gst_promise_unref(promise);
  return result;
}

void GstPeerConnection::Core::addCandidate(const IceCandidate& candidate) {
  if (closed) throw EngineError("the connection is closed");
  if (candidate.sdp.empty()) return;  // end of candidates: nothing for libnice 0.1.21 to act on
  std::string problem;
  const auto line = normalizeCandidate(candidate.sdp, problem);
  if (!line) throw EngineError("candidate refused: " + problem);
  std::int32_t index = candidate.sdpMLineIndex;
  {
    std::lock_guard lock(mutex);
    // Before the remote description webrtcbin queues candidates unchecked.
    if (!remoteMids.empty()) {
      if (candidate.sdpMid) {
        const auto it = std::find(remoteMids.begin(), remoteMids.end(), *candidate.sdpMid);
        if (it == remoteMids.end()) throw EngineError("candidate refused: unknown mid " + *candidate.sdpMid);
        index = std::int32_t(it - remoteMids.begin());
      } else if (index < 0 || std::size_t(index) >= remoteMids.size()) {
        throw EngineError("candidate refused: no m-line " + std::to_string(index));
      }
    }
  }
  if (index < 0) throw EngineError("candidate refused: no m-line " + std::to_string(index));
  g_signal_emit_by_name(webrtc, "add-ice-candidate", guint(index), line->c_str());
}

void GstPeerConnection::Core::close() {
  if (closed.exchange(true)) return;
  stopLiveness();
  PeerConnectionObserver* last = observer.exchange(nullptr);
  std::vector<std::shared_ptr<WebRtcDataChannel>> open;
  decltype(sending) inputs;
  std::vector<std::shared_ptr<RemoteVideoTrack>> received;
  {
    std::lock_guard lock(mutex);
    for (auto& [weak, gst] : channels) {
      if (auto channel = weak.lock()) open.push_back(std::move(channel));
      channelsToClose.push_back(std::move(gst));
    }
    channels.clear();
    preparedChannels.clear();
    inputs = std::move(sending);
    for (const auto& [mid, track] : remoteTracks) received.push_back(track);
  }
  // The pipeline stops later, elsewhere: no decoded frame may reach a sink
  // after close() returns.
  for (const auto& track : received) track->detachSinks();
  for (const auto& [source, input] : inputs) {
    source->detach(input);
    input->close();
  }
  for (const auto& channel : open) channel->connectionClosed();
  {
    std::lock_guard lock(iceMutex);
    const bool signalingMoved = signaling.exchange(SignalingState::closed) != SignalingState::closed;
    const bool iceMoved = ice.exchange(IceConnectionState::closed) != IceConnectionState::closed;
    if (last && signalingMoved) last->onSignalingStateChange(SignalingState::closed);
    if (last && iceMoved) last->onIceConnectionStateChange(IceConnectionState::closed);
  }
  // What is left touches no observer: releasing TURN (up to half a second)
  // and stopping the pipeline, which waits for its streaming threads, go to
  // the engine's closing thread, in the order connections closed. A streaming
  // thread could not stop its own pipeline anyway.
  if (auto pool = closer.lock()) {
    pool->post([core = shared_from_this()]() mutable {
      core->teardown();
      core.reset();
      // glibc keeps freed screen-sized buffers in its arenas; without this a
      // host grows by about a megabyte per connection it has closed.
      malloc_trim(0);
    });
  } else if (engineCallbackDepth > 0) {
    std::thread([core = shared_from_this()] { core->teardown(); }).detach();
  } else {
    teardown();
  }
}

// Releases the agent's TURN allocations (a zero-lifetime refresh) before
// the pipeline stops; otherwise each one lingers on the server for its
// lifetime and libnice warns. libnice is loaded by webrtcbin but ships no
// headers here, hence the lookup.
void releaseTurnAllocations(GstElement* webrtc) {
  using CloseAsync = void (*)(GObject*, GAsyncReadyCallback, gpointer);
  static const auto closeAsync = [] {
    void* library = dlopen("libnice.so.10", RTLD_NOW | RTLD_NOLOAD);
    return library ? reinterpret_cast<CloseAsync>(dlsym(library, "nice_agent_close_async")) : nullptr;
  }();
  GObject* ice = nullptr;
  g_object_get(webrtc, "ice-agent", &ice, nullptr);
  GObject* agent = nullptr;
  if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) g_object_get(ice, "agent", &agent, nullptr);
  if (closeAsync && agent) {
    // The completion comes on this thread's default context: a private one,
    // since the caller's may have no loop running.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    bool done = false;
    closeAsync(agent, [](GObject*, GAsyncResult*, gpointer data) { *static_cast<bool*>(data) = true; }, &done);
    const gint64 deadline = g_get_monotonic_time() + kTurnReleaseMaxUs;
    while (!done && g_get_monotonic_time() < deadline) {
      if (!g_main_context_iteration(context, FALSE)) g_usleep(2000);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }
  if (agent) g_object_unref(agent);
  if (ice) gst_object_unref(ice);
}

// Closes open channels towards the peer (an SCTP stream reset) and waits a
// little for the peer's acknowledgement, so that a peer told nothing else
// learns at once that this side has gone, instead of from the silence.
void closeChannelsTowardsPeer(const std::vector<GstPtr<GstWebRTCDataChannel>>& channels) {
  const auto state = [](GstWebRTCDataChannel* channel) {
    GstWebRTCDataChannelState value;
    g_object_get(channel, "ready-state", &value, nullptr);
    return value;
  };
  std::vector<GstWebRTCDataChannel*> closing;
  for (const auto& channel : channels) {
    if (state(channel.get()) != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) continue;
    gst_webrtc_data_channel_close(channel.get());
    closing.push_back(channel.get());
  }
  const gint64 deadline = g_get_monotonic_time() + kChannelCloseMaxUs;
  while (g_get_monotonic_time() < deadline &&
         std::any_of(closing.begin(), closing.end(),
                     [&](GstWebRTCDataChannel* c) { return state(c) != GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED; })) {
    g_usleep(2000);
  }
}

void GstPeerConnection::Core::teardown() {
  closeChannelsTowardsPeer(channelsToClose);
  channelsToClose.clear();
  releaseTurnAllocations(webrtc);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  // Stopped, webrtcbin emits nothing more: the handlers and their holds on
  // this core go now.
  for (const auto& [instance, id] : handlers) g_signal_handler_disconnect(instance, id);
  handlers.clear();
}

std::shared_ptr<GstPeerConnection> GstPeerConnection::create(const Configuration& configuration,
                                                             PeerConnectionObserver* observer, const Logger& log,
                                                             std::weak_ptr<BlockingExecutor> closer) {
  auto core = std::make_shared<Core>(log, observer);
  core->closer = std::move(closer);
  core->webrtc = gst_element_factory_make("webrtcbin", "webrtc");
  if (!core->webrtc) {
    log.error("GStreamer element missing: webrtcbin");
    return nullptr;
  }
  gst_object_ref_sink(core->webrtc);
  core->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
  gst_bin_add(GST_BIN(core->pipeline), core->webrtc);
  core->rtpbin = gst_bin_get_by_name(GST_BIN(core->webrtc), "rtpbin");

  g_object_set(core->webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency", kJitterBufferMs,
               "ice-transport-policy", toGst(configuration.iceTransportPolicy), nullptr);
  const auto servers = webrtcbinIceServers(configuration.iceServers);
  if (servers.stun) g_object_set(core->webrtc, "stun-server", servers.stun->c_str(), nullptr);
  for (const auto& turn : servers.turn) {
    gboolean added = FALSE;
    g_signal_emit_by_name(core->webrtc, "add-turn-server", turn.c_str(), &added);
    if (!added) log.error("webrtcbin refused a TURN server");  // the URL holds the credential: not logged
  }
  for (const auto& url : servers.skipped) log.notice("ICE server URL not used: %{public}s", url);

  GObject* ice = nullptr;
  g_object_get(core->webrtc, "ice-agent", &ice, nullptr);
  if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
    GObject* agent = nullptr;
    g_object_get(ice, "agent", &agent, nullptr);
    // No router port mappings: peers meet through STUN/TURN or directly.
    if (agent) g_object_set(agent, "upnp", FALSE, nullptr);
    if (agent) g_object_unref(agent);
  }
  if (ice) gst_object_unref(ice);

  GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(core->pipeline));
  gst_bus_set_sync_handler(bus, onBusMessage, new Logger(log), [](gpointer p) { delete static_cast<Logger*>(p); });
  gst_object_unref(bus);

  auto connect = [&](gpointer instance, const char* signal, GCallback callback) {
    core->handlers.emplace_back(instance, connectHeld(instance, signal, callback, core));
  };
  connect(core->webrtc, "notify::signaling-state", G_CALLBACK(onSignalingState));
  connect(core->webrtc, "notify::ice-gathering-state", G_CALLBACK(onGatheringState));
  connect(core->webrtc, "notify::ice-connection-state", G_CALLBACK(onIceConnectionState));
  connect(core->webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate));
  connect(core->webrtc, "prepare-data-channel", G_CALLBACK(onPrepareDataChannel));
  connect(core->webrtc, "on-data-channel", G_CALLBACK(onDataChannel));
  connect(core->webrtc, "pad-added", G_CALLBACK(onPadAdded));
  connect(core->webrtc, "on-new-transceiver", G_CALLBACK(onNewTransceiver));
  if (core->rtpbin) {
    connect(core->rtpbin, "on-ssrc-active", G_CALLBACK(onSsrcActive));
    connect(core->rtpbin, "element-added", G_CALLBACK(onRtpbinElement));
  }

  if (gst_element_set_state(core->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    log.error("the connection's pipeline does not start");
    core->close();
    return nullptr;
  }
  core->startLiveness();
  return std::shared_ptr<GstPeerConnection>(new GstPeerConnection(std::move(core)));
}

GstPeerConnection::~GstPeerConnection() { core_->close(); }

Task<std::optional<SessionDescription>> GstPeerConnection::createOffer(MediaConstraints) {
  auto core = core_;
  auto result = core->requestDescription("create-offer", "offer");
  co_return co_await result;
}

Task<std::optional<SessionDescription>> GstPeerConnection::createAnswer(MediaConstraints) {
  auto core = core_;
  auto result = core->requestDescription("create-answer", "answer");
  co_return co_await result;
}

Task<void> GstPeerConnection::setLocalDescription(SessionDescription description) {
  auto core = core_;
  auto result = core->applyDescription(std::move(description), true);
  co_await result;
}

Task<void> GstPeerConnection::setRemoteDescription(SessionDescription description) {
  auto core = core_;
  auto result = core->applyDescription(std::move(description), false);
  co_await result;
}

std::optional<SessionDescription> GstPeerConnection::localDescription() const {
  GstWebRTCSessionDescription* description = nullptr;
  g_object_get(core_->webrtc, "local-description", &description, nullptr);
  auto out = descriptionFromGst(description);
  if (description) gst_webrtc_session_description_free(description);
  return out;
}

Task<void> GstPeerConnection::addIceCandidate(IceCandidate candidate) {
  auto core = core_;
  core->addCandidate(candidate);
  co_return;
}

std::shared_ptr<RtpSender> GstPeerConnection::addTrack(std::shared_ptr<VideoTrack> track,
                                                       std::vector<std::string> streamIds) {
  auto local = std::dynamic_pointer_cast<LocalVideoTrack>(track);
  if (!local || core_->closed) return nullptr;
  std::string error;
  const std::string streamId = streamIds.empty() ? std::string() : streamIds.front();
  const int level = local->source()->h264Level();
  const std::string variant = benchVideoVariant();
  const bool reference = variant == "reference";
  VideoSendOptions options;
  options.playoutDelay = variant != "no-playout-delay";
  auto chain = reference ? addReferenceVideoChain(core_->pipeline, core_->webrtc, streamId, error)
                         : addVideoSendChain(core_->pipeline, core_->webrtc, streamId, level, core_->log, error, options);
  if (!chain) {
    core_->log.error("video track not added: %{public}s", error);
    return nullptr;
  }
  if (!variant.empty()) core_->log.notice("video: the benchmark's send chain \"%{public}s\"", variant);
  std::lock_guard lock(core_->mutex);
  if (chain->input) {
    local->source()->attach(chain->input);
    core_->sending.emplace_back(local->source(), chain->input);
  }
  core_->sentTracks.push_back({chain->ssrc, streamId.empty() ? "-" : streamId, local->trackId()});
  if (chain->sender && !reference) core_->steered[chain->ssrc] = chain->sender;
  core_->sentH264Level = std::max(core_->sentH264Level.value_or(level), level);
  return chain->sender;
}

std::shared_ptr<DataChannel> GstPeerConnection::createDataChannel(std::string label, DataChannelInit init) {
  // What webrtcbin would refuse with a critical warning instead of an answer.
  if (core_->closed || label.size() > 65535 || (init.maxRetransmits && init.maxPacketLifeTimeMs)) return nullptr;
  GstStructure* options = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, gboolean(init.ordered), nullptr);
  if (init.maxRetransmits) gst_structure_set(options, "max-retransmits", G_TYPE_INT, *init.maxRetransmits, nullptr);
  if (init.maxPacketLifeTimeMs) {
    gst_structure_set(options, "max-packet-lifetime", G_TYPE_INT, *init.maxPacketLifeTimeMs, nullptr);
  }
  GstWebRTCDataChannel* channel = nullptr;
  g_signal_emit_by_name(core_->webrtc, "create-data-channel", label.c_str(), options, &channel);
  gst_structure_free(options);
  if (!channel) return nullptr;
  auto wrapper = WebRtcDataChannel::wrap(channel, core_->log);
  std::lock_guard lock(core_->mutex);
  core_->track(wrapper, channel);
  gst_object_unref(channel);
  return wrapper;
}

SignalingState GstPeerConnection::signalingState() const { return core_->signaling; }
IceConnectionState GstPeerConnection::iceConnectionState() const { return core_->ice; }
IceGatheringState GstPeerConnection::iceGatheringState() const { return core_->gathering; }

void GstPeerConnection::close() { core_->close(); }

GstElement* GstPeerConnection::pipeline() const { return core_->pipeline; }
GstElement* GstPeerConnection::webrtcbin() const { return core_->webrtc; }

}  // namespace orvane::rtc
