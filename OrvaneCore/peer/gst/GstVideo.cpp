#include "OrvaneCore/peer/gst/GstVideo.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>
#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <random>

#include "OrvaneCore/peer/gst/H264Level.h"
#include "OrvaneCore/peer/gst/ObserverSlot.h"

namespace orvane::rtc {
namespace {

constexpr guint kPoolBuffers = 8;        // appsrc queue + encoder + conversion, with room
constexpr guint64 kQueuedFrames = 1;     // a newer picture replaces one the encoder has not taken yet
constexpr guint kVbvMilliseconds = 250;  // a keyframe fits; bursts stay short on the wire
constexpr guint kKeyframeInterval = 300; // frames; a PLI or FIR brings one at once
constexpr int kMaxDimension = 16384;
constexpr int kPayloadType = 96;
// The capture's ceiling. Declared rather than variable: with a variable rate
// x264 holds each frame until the next one arrives, a frame of latency.
constexpr int kFrameRate = 30;
constexpr int kLowestDeclaredLevel = 31;

GstCaps* i420Caps(int width, int height) {
  return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, width, "height",
                             G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, kFrameRate, 1, nullptr);
}

bool usable(const VideoFrame& f) {
  if (f.width <= 0 || f.height <= 0 || f.width > kMaxDimension || f.height > kMaxDimension) return false;
  if (f.format == VideoFrame::Format::bgra) return f.planes[0] && f.strides[0] >= f.width * 4;
  const int chroma = (f.width + 1) / 2;
  return f.planes[0] && f.planes[1] && f.planes[2] && f.strides[0] >= f.width && f.strides[1] >= chroma &&
         f.strides[2] >= chroma;
}

// Each plane becomes one memory holding a reference to the frame's owner,
// released when GStreamer frees the memory.
GstBuffer* wrapI420(const VideoFrame& f, int width, int height) {
  GstBuffer* buffer = gst_buffer_new();
  gsize offsets[GST_VIDEO_MAX_PLANES] = {};
  gint strides[GST_VIDEO_MAX_PLANES] = {};
  gsize offset = 0;
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height : height / 2;
    const int rowBytes = plane == 0 ? width : width / 2;
    const gsize size = gsize(f.strides[plane]) * gsize(rows - 1) + gsize(rowBytes);
    auto* owner = new std::shared_ptr<const void>(f.owner);
    gst_buffer_append_memory(
        buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(f.planes[plane]), size, 0,
                                       size, owner, [](gpointer p) { delete static_cast<std::shared_ptr<const void>*>(p); }));
    offsets[plane] = offset;
    strides[plane] = f.strides[plane];
    offset += size;
  }
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420, guint(width), guint(height),
                                 3, offsets, strides);
  return buffer;
}

std::mt19937& randomEngine() {
  static thread_local std::mt19937 engine{std::random_device{}()};
  return engine;
}

GstElement* makeElement(const char* factory) { return gst_element_factory_make(factory, nullptr); }

// Creates all or none.
bool makeElements(std::initializer_list<std::pair<const char*, GstElement**>> wanted, std::string& error) {
  std::vector<GstElement*> made;
  for (const auto& [factory, out] : wanted) {
    *out = makeElement(factory);
    if (!*out) {
      error = std::string("GStreamer element missing: ") + factory;
      for (GstElement* e : made) gst_object_unref(gst_object_ref_sink(e));
      return false;
    }
    made.push_back(*out);
  }
  return true;
}

void setCaps(GstElement* capsfilter, const std::string& caps) {
  GstCaps* c = gst_caps_from_string(caps.c_str());
  g_object_set(capsfilter, "caps", c, nullptr);
  gst_caps_unref(c);
}

// Constrained baseline: what Safari and Firefox decode. A level here is
// x264's level: it writes it into the SPS and refuses pictures above it.
std::string encodedCaps(int h264Level) {
  return "video/x-h264,profile=constrained-baseline,stream-format=byte-stream,alignment=au,level=(string)" +
         h264LevelName(h264Level);
}

// Watches the caps reaching x264: a picture size above the encoder's level
// raises it first. The caps event comes in stream order after the last
// frame of the old size, so x264 never sees a level that refuses a frame.
struct EncoderLevel {
  GstPtr<GstElement> capsfilter;
  int level;
  Logger log;
};

GstPadProbeReturn onEncoderInputCaps(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  auto& encoder = *static_cast<EncoderLevel*>(data);
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  const GstStructure* s = caps && !gst_caps_is_empty(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
  int width = 0, height = 0;
  if (!s || !gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height)) {
    return GST_PAD_PROBE_OK;
  }
  const auto needed = h264LevelFor(width, height, kFrameRate);
  if (!needed || *needed <= encoder.level) return GST_PAD_PROBE_OK;
  encoder.log.notice(
      "a %{public}dx%{public}d picture needs H.264 level %{public}s: the stream leaves the declared %{public}s", width,
      height, h264LevelName(*needed), h264LevelName(encoder.level));
  encoder.level = *needed;
  setCaps(encoder.capsfilter.get(), encodedCaps(encoder.level));
  return GST_PAD_PROBE_OK;
}

struct MappedSample {
  GstSample* sample;
  GstVideoFrame frame;
  ~MappedSample() {
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
  }
};

}  // namespace

void AppSrcInput::push(GstBuffer* buffer, int width, int height) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  if (width != width_ || height != height_) {
    GstCaps* caps = i420Caps(width, height);
    gst_app_src_set_caps(GST_APP_SRC(appsrc_.get()), caps);
    gst_caps_unref(caps);
    width_ = width;
    height_ = height;
  }
  gst_app_src_push_buffer(GST_APP_SRC(appsrc_.get()), gst_buffer_ref(buffer));
}

void AppSrcInput::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

std::optional<int> declaredH264Level(VideoSize largest) {
  const auto level = h264LevelFor(largest.width, largest.height, kFrameRate);
  if (!level) return std::nullopt;
  return std::max(*level, kLowestDeclaredLevel);
}

AppSrcVideoSource::AppSrcVideoSource(VideoSize largest)
    : h264Level_(declaredH264Level(largest).value_or(kLowestDeclaredLevel)) {}

AppSrcVideoSource::~AppSrcVideoSource() {
  if (pool_) {
    gst_buffer_pool_set_active(pool_, FALSE);
    gst_object_unref(pool_);
  }
}

void AppSrcVideoSource::attach(std::shared_ptr<AppSrcInput> input) {
  std::lock_guard lock(inputsMutex_);
  inputs_.push_back(std::move(input));
}

void AppSrcVideoSource::detach(const std::shared_ptr<AppSrcInput>& input) {
  std::lock_guard lock(inputsMutex_);
  std::erase(inputs_, input);
}

void AppSrcVideoSource::deliverFrame(const VideoFrame& frame) {
  std::vector<std::shared_ptr<AppSrcInput>> inputs;
  {
    std::lock_guard lock(inputsMutex_);
    inputs = inputs_;
  }
  if (inputs.empty()) return;
  GstBuffer* buffer = toI420Buffer(frame);
  if (!buffer) return;
  for (const auto& input : inputs) input->push(buffer, frame.width & ~1, frame.height & ~1);
  gst_buffer_unref(buffer);
}

GstBuffer* AppSrcVideoSource::toI420Buffer(const VideoFrame& f) {
  // x264 wants even sizes: an odd last row or column is cropped.
  const int width = f.width & ~1;
  const int height = f.height & ~1;
  if (!usable(f) || width == 0 || height == 0) return nullptr;
  if (f.format == VideoFrame::Format::i420 && f.owner) return wrapI420(f, width, height);

  GstBuffer* buffer = pooledBuffer(width, height);
  if (!buffer) return nullptr;
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, guint(width), guint(height));
  GstVideoFrame out;
  if (!gst_video_frame_map(&out, &info, buffer, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    return nullptr;
  }
  auto* y = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0));
  auto* u = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 1));
  auto* v = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 2));
  const int ys = GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0);
  const int us = GST_VIDEO_FRAME_PLANE_STRIDE(&out, 1);
  const int vs = GST_VIDEO_FRAME_PLANE_STRIDE(&out, 2);
  if (f.format == VideoFrame::Format::bgra) {
    // libyuv's ARGB is B, G, R, A in memory: the BGRA byte order.
    libyuv::ARGBToI420(f.planes[0], f.strides[0], y, ys, u, us, v, vs, width, height);
  } else {
    // No owner to hold the planes past this call: copy them.
    libyuv::I420Copy(f.planes[0], f.strides[0], f.planes[1], f.strides[1], f.planes[2], f.strides[2], y, ys, u, us, v,
                     vs, width, height);
  }
  gst_video_frame_unmap(&out);
  return buffer;
}

GstBuffer* AppSrcVideoSource::pooledBuffer(int width, int height) {
  std::lock_guard lock(poolMutex_);
  if (!pool_ || width != poolWidth_ || height != poolHeight_) {
    if (pool_) {
      gst_buffer_pool_set_active(pool_, FALSE);
      gst_object_unref(pool_);
      pool_ = nullptr;
    }
    GstBufferPool* pool = gst_video_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    GstCaps* caps = i420Caps(width, height);
    GstVideoInfo info;
    gst_video_info_from_caps(&info, caps);
    gst_buffer_pool_config_set_params(config, caps, guint(info.size), 0, kPoolBuffers);
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    gst_caps_unref(caps);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
      gst_object_unref(pool);
      return nullptr;
    }
    pool_ = pool;
    poolWidth_ = width;
    poolHeight_ = height;
  }
  GstBuffer* buffer = nullptr;
  GstBufferPoolAcquireParams params{};
  params.flags = GST_BUFFER_POOL_ACQUIRE_FLAG_DONTWAIT;  // the capture thread must not wait
  return gst_buffer_pool_acquire_buffer(pool_, &buffer, &params) == GST_FLOW_OK ? buffer : nullptr;
}

void RemoteVideoTrack::addSink(VideoSink* sink) {
  std::lock_guard lock(mutex_);
  if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end()) sinks_.push_back(sink);
}

void RemoteVideoTrack::removeSink(VideoSink* sink) {
  std::lock_guard lock(mutex_);
  std::erase(sinks_, sink);
}

void RemoteVideoTrack::detachSinks() {
  std::lock_guard lock(mutex_);
  sinks_.clear();
}

void RemoteVideoTrack::deliver(GstSample* sample) {
  std::lock_guard lock(mutex_);
  if (sinks_.empty()) return;
  GstVideoInfo info;
  GstCaps* caps = gst_sample_get_caps(sample);
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)) return;
  auto mapped = std::make_shared<MappedSample>();
  if (!gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ)) return;
  mapped->sample = gst_sample_ref(sample);
  VideoFrame frame;
  frame.format = VideoFrame::Format::i420;
  frame.width = GST_VIDEO_FRAME_WIDTH(&mapped->frame);
  frame.height = GST_VIDEO_FRAME_HEIGHT(&mapped->frame);
  for (int plane = 0; plane < 3; ++plane) {
    frame.planes[plane] = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, plane));
    frame.strides[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, plane);
  }
  if (GST_BUFFER_PTS_IS_VALID(buffer)) frame.timestampNs = std::int64_t(GST_BUFFER_PTS(buffer));
  frame.owner = std::move(mapped);
  // A copy of the list: a sink may remove itself (or another) while called.
  const auto sinks = sinks_;
  ++engineCallbackDepth;
  for (VideoSink* sink : sinks) {
    if (std::find(sinks_.begin(), sinks_.end(), sink) != sinks_.end()) sink->onFrame(frame);
  }
  --engineCallbackDepth;
}

EncoderRtpSender::EncoderRtpSender(GstElement* encoder) : encoder_(GST_ELEMENT(gst_object_ref(encoder))) {
  parameters_.encodings.resize(1);
  parameters_.degradationPreference = DegradationPreference::disabled;
  g_object_set(encoder, "bitrate", guint(kDefaultBitrateBps / 1000), nullptr);
  using Counter = std::shared_ptr<std::atomic<std::uint64_t>>;
  GstPtr<GstPad> out(gst_element_get_static_pad(encoder, "src"));
  gst_pad_add_probe(
      out.get(), GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) {
        (*static_cast<Counter*>(data))->fetch_add(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
        return GST_PAD_PROBE_OK;
      },
      new Counter(encodedBytes_), [](gpointer data) { delete static_cast<Counter*>(data); });
}

RtpParameters EncoderRtpSender::parameters() const {
  std::lock_guard lock(mutex_);
  return parameters_;
}

std::optional<unsigned> EncoderRtpSender::encoderKbps(const RtpParameters& p) {
  constexpr int kMinBps = 100'000;             // below this x264 output is useless for a desktop
  constexpr long long kMaxBps = 2'048'000'000; // x264enc's limit, 2048000 kbit/s
  if (p.encodings.size() != 1 || p.degradationPreference != DegradationPreference::disabled) return std::nullopt;
  const auto& e = p.encodings[0];
  if (e.minBitrateBps && (*e.minBitrateBps < kMinBps || *e.minBitrateBps > kMaxBps)) return std::nullopt;
  if (e.maxBitrateBps && (*e.maxBitrateBps < kMinBps || *e.maxBitrateBps > kMaxBps)) return std::nullopt;
  if (e.minBitrateBps && e.maxBitrateBps && *e.minBitrateBps > *e.maxBitrateBps) return std::nullopt;
  const long long bps = e.maxBitrateBps ? *e.maxBitrateBps : std::max<long long>(kDefaultBitrateBps, e.minBitrateBps.value_or(0));
  return unsigned(bps / 1000);
}

bool EncoderRtpSender::setParameters(const RtpParameters& parameters) {
  const auto kbps = encoderKbps(parameters);
  if (!kbps) return false;
  const int maxBps = int(std::min<long long>(*kbps * 1000LL, INT32_MAX));
  const int minBps = std::min(maxBps, parameters.encodings[0].minBitrateBps.value_or(maxBps));
  std::lock_guard lock(mutex_);
  parameters_ = parameters;
  controller_.setRange({minBps, maxBps, std::min(minBps, kFloorBitrateBps)});
  appliedBps_ = maxBps;
  // x264enc reconfigures at its next frame, while playing.
  g_object_set(encoder_.get(), "bitrate", guint(*kbps), nullptr);
  return true;
}

std::optional<int> EncoderRtpSender::onReceiverReport(double fractionLost, std::optional<double> rttSeconds,
                                                     double nowSeconds) {
  std::lock_guard lock(mutex_);
  ReceiverReport report{fractionLost, rttSeconds, 0};
  const std::uint64_t bytes = encodedBytes_->load();
  if (lastReportAt_ && nowSeconds > *lastReportAt_) {
    report.sentBitsPerSecond = double(bytes - bytesAtLastReport_) * 8 / (nowSeconds - *lastReportAt_);
  }
  bytesAtLastReport_ = bytes;
  lastReportAt_ = nowSeconds;
  const int target = controller_.onReport(report, nowSeconds);
  // Small steps are not worth x264's reconfiguration.
  if (std::abs(target - appliedBps_) < appliedBps_ / 50) return std::nullopt;
  appliedBps_ = target;
  g_object_set(encoder_.get(), "bitrate", guint(std::max(1, target / 1000)), nullptr);
  return target;
}

bool linkVideoToWebrtc(GstElement* rtp, GstElement* webrtc, const std::string& streamId, guint ssrc,
                       const char* extmapUri, std::string& error) {
  GstPtr<GstPad> sinkPad(gst_element_request_pad_simple(webrtc, "sink_%u"));
  GstPtr<GstPad> rtpSrc(gst_element_get_static_pad(rtp, "src"));
  if (!sinkPad || gst_pad_link(rtpSrc.get(), sinkPad.get()) != GST_PAD_LINK_OK) {
    error = "cannot link the video send chain to webrtcbin";
    return false;
  }
  if (!streamId.empty()) g_object_set(sinkPad.get(), "msid", streamId.c_str(), nullptr);
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  g_object_get(sinkPad.get(), "transceiver", &transceiver, nullptr);
  if (transceiver) {
    GstCaps* preferences = gst_caps_from_string(
        "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,packetization-mode=(string)1");
    gst_caps_set_simple(preferences, "ssrc", G_TYPE_UINT, ssrc, nullptr);
    // webrtcbin offers the extmap lines it finds here.
    if (extmapUri) {
      const std::string field = "extmap-" + std::to_string(kPlayoutDelayExtensionId);
      gst_caps_set_simple(preferences, field.c_str(), G_TYPE_STRING, extmapUri, nullptr);
    }
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "do-nack", TRUE,
                 "codec-preferences", preferences, nullptr);
    gst_caps_unref(preferences);
    gst_object_unref(transceiver);
  }
  return true;
}

std::optional<VideoSendChain> addVideoSendChain(GstElement* pipeline, GstElement* webrtc, const std::string& streamId,
                                                int h264Level, const Logger& log, std::string& error,
                                                const VideoSendOptions& options) {
  GstElement *src, *enc, *h264, *pay, *rtp;
  if (!makeElements({{"appsrc", &src}, {"x264enc", &enc}, {"capsfilter", &h264}, {"rtph264pay", &pay},
                     {"capsfilter", &rtp}},
                    error)) {
    return std::nullopt;
  }
  g_object_set(src, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "block", FALSE, "max-bytes",
               guint64(0), "max-buffers", kQueuedFrames, nullptr);
  gst_util_set_object_arg(G_OBJECT(src), "leaky-type", "downstream");
  gst_util_set_object_arg(G_OBJECT(enc), "tune", "zerolatency");
  gst_util_set_object_arg(G_OBJECT(enc), "speed-preset", "ultrafast");
  g_object_set(enc, "bframes", 0u, "b-adapt", FALSE, "key-int-max", kKeyframeInterval, "vbv-buf-capacity",
               kVbvMilliseconds, nullptr);
  setCaps(h264, encodedCaps(h264Level));
  GstPtr<GstPad> encoderSink(gst_element_get_static_pad(enc, "sink"));
  gst_pad_add_probe(encoderSink.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onEncoderInputCaps,
                    new EncoderLevel{GstPtr<GstElement>(GST_ELEMENT(gst_object_ref(h264))), h264Level, log},
                    [](gpointer p) { delete static_cast<EncoderLevel*>(p); });
  // SPS/PPS ahead of every keyframe, aggregated with it, nothing held back.
  // webrtcbin writes a=ssrc lines only for an SSRC it finds in the caps, and
  // the offer's track naming finds the m-section by it: choose it here.
  const guint ssrc = std::uniform_int_distribution<guint>(1, G_MAXUINT32)(randomEngine());
  g_object_set(pay, "config-interval", -1, "pt", guint(kPayloadType), "ssrc", ssrc, nullptr);
  gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");
  // Added here with our bounds: from the extmap alone the payloader would
  // make one with the element's defaults. Without it the stream still plays,
  // at the browser's own delay.
  bool playoutDelay = false;
  if (options.playoutDelay) {
    GstPtr<GstRTPHeaderExtension> extension(makePlayoutDelayExtension(options.delay, kPlayoutDelayExtensionId));
    playoutDelay = bool(extension);
    if (extension) {
      g_signal_emit_by_name(pay, "add-extension", extension.get());
    } else {
      log.error("the playout-delay RTP header extension is unavailable: video goes without it");
    }
  }
  setCaps(rtp, "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000");

  gst_bin_add_many(GST_BIN(pipeline), src, enc, h264, pay, rtp, nullptr);
  if (!gst_element_link_many(src, enc, h264, pay, rtp, nullptr)) {
    error = "cannot link the video send chain";
    return std::nullopt;
  }
  if (!linkVideoToWebrtc(rtp, webrtc, streamId, ssrc, playoutDelay ? kPlayoutDelayUri : nullptr, error)) {
    return std::nullopt;
  }
  for (GstElement* e : {rtp, pay, h264, enc, src}) gst_element_sync_state_with_parent(e);

  VideoSendChain chain;
  chain.input = std::make_shared<AppSrcInput>(src);
  chain.sender = std::make_shared<EncoderRtpSender>(enc);
  chain.ssrc = ssrc;
  return chain;
}

bool addVideoReceiveChain(GstElement* pipeline, GstPad* rtpPad, std::shared_ptr<RemoteVideoTrack> track,
                          std::string& error) {
  GstCapsPtr caps(gst_pad_get_current_caps(rtpPad));
  if (!caps) caps.reset(gst_pad_query_caps(rtpPad, nullptr));
  const GstStructure* s = caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  const gchar* encoding = s ? gst_structure_get_string(s, "encoding-name") : nullptr;
  if (g_strcmp0(encoding, "H264") != 0) {
    // Unlinked, webrtcbin would stop the shared transport with not-linked.
    GstElement* sink = makeElement("fakesink");
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    GstPtr<GstPad> sinkPad(gst_element_get_static_pad(sink, "sink"));
    gst_pad_link(rtpPad, sinkPad.get());
    error = std::string("unsupported video encoding ") + (encoding ? encoding : "(none)");
    return false;
  }
  GstElement *depay, *parse, *dec, *convert, *filter, *sink;
  if (!makeElements({{"rtph264depay", &depay}, {"h264parse", &parse}, {"avdec_h264", &dec}, {"videoconvert", &convert},
                     {"capsfilter", &filter}, {"appsink", &sink}},
                    error)) {
    return false;
  }
  // A frame with a hole would decode to garbage that lasts until the next
  // keyframe: skip to one, and ask for it at once (the host answers a PLI).
  g_object_set(depay, "request-keyframe", TRUE, "wait-for-keyframe", TRUE, nullptr);
  // Slice threads decode one frame at a time; frame threads would hold frames back.
  gst_util_set_object_arg(G_OBJECT(dec), "thread-type", "slice");
  setCaps(filter, "video/x-raw,format=I420");
  g_object_set(sink, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, "max-buffers", 1u, "drop", TRUE,
               nullptr);
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = [](GstAppSink* appsink, gpointer data) -> GstFlowReturn {
    GstSample* sample = gst_app_sink_pull_sample(appsink);
    if (!sample) return GST_FLOW_EOS;
    held<RemoteVideoTrack>(data).deliver(sample);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, heldData(std::move(track)),
                             [](gpointer data) { releaseHeld<RemoteVideoTrack>(data); });

  gst_bin_add_many(GST_BIN(pipeline), depay, parse, dec, convert, filter, sink, nullptr);
  if (!gst_element_link_many(depay, parse, dec, convert, filter, sink, nullptr)) {
    error = "cannot link the video receive chain";
    return false;
  }
  for (GstElement* e : {sink, filter, convert, dec, parse, depay}) gst_element_sync_state_with_parent(e);
  GstPtr<GstPad> depaySink(gst_element_get_static_pad(depay, "sink"));
  if (gst_pad_link(rtpPad, depaySink.get()) != GST_PAD_LINK_OK) {
    error = "cannot link webrtcbin to the video receive chain";
    return false;
  }
  return true;
}

}  // namespace orvane::rtc
