#pragma once

// The video halves of a connection. Host: frames enter through an appsrc and
// leave webrtcbin as H.264 (x264 constrained baseline). Pad: webrtcbin's
// incoming RTP is decoded to I420 and handed to the remote track's sinks.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/peer/gst/BitrateController.h"
#include "OrvaneCore/peer/gst/GstRef.h"
#include "OrvaneCore/peer/gst/PlayoutDelayExtension.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane::rtc {

struct VideoSize {
  int width = 0;
  int height = 0;
  bool operator==(const VideoSize&) const = default;
};

// 16:9 at the capture's 1920-pixel long-edge limit.
inline constexpr VideoSize kDefaultLargestFrame{1920, 1080};

// The H.264 level a stream declares and encodes at when its pictures are at
// most `largest`: what that size needs at the capture's frame rate, and never
// below 3.1, the level every browser answers with. nullopt for a size no
// level holds.
std::optional<int> declaredH264Level(VideoSize largest);

// One connection's entry for frames: its appsrc. Open until the connection
// closes.
class AppSrcInput {
 public:
  explicit AppSrcInput(GstElement* appsrc) : appsrc_(GST_ELEMENT(gst_object_ref(appsrc))) {}
  // `buffer` is borrowed; never blocks (a full queue drops its oldest frame).
  void push(GstBuffer* buffer, int width, int height);
  void close();

 private:
  std::mutex mutex_;
  GstPtr<GstElement> appsrc_;
  int width_ = 0;
  int height_ = 0;
  bool closed_ = false;
};

// Turns delivered frames into I420 buffers once and hands them to every
// attached connection. BGRA is converted with libyuv (0.5 ms at 1080p, where
// videoconvert takes 4-6 ms); I420 with an owner is wrapped without copying.
//
// A session's SDP cannot change, so the H.264 level is fixed when a
// connection takes the source: the one for the largest picture the source
// was made for, not for the picture of the moment.
class AppSrcVideoSource final : public VideoSource {
 public:
  // `largest` must have a level (declaredH264Level).
  explicit AppSrcVideoSource(VideoSize largest = kDefaultLargestFrame);
  ~AppSrcVideoSource() override;
  int h264Level() const { return h264Level_; }
  void deliverFrame(const VideoFrame& frame) override;

  void attach(std::shared_ptr<AppSrcInput> input);
  void detach(const std::shared_ptr<AppSrcInput>& input);

  // The buffer for one frame (I420, even size, video meta for strides), or
  // null for a frame that cannot be used or when every pooled buffer is
  // still in flight.
  GstBuffer* toI420Buffer(const VideoFrame& frame);

 private:
  GstBuffer* pooledBuffer(int width, int height);

  const int h264Level_;
  std::mutex inputsMutex_;
  std::vector<std::shared_ptr<AppSrcInput>> inputs_;
  std::mutex poolMutex_;
  GstBufferPool* pool_ = nullptr;
  int poolWidth_ = 0;
  int poolHeight_ = 0;
};

// A host track: frames reach the connection through its source. It renders
// nowhere locally, so sinks are not called.
class LocalVideoTrack final : public VideoTrack {
 public:
  LocalVideoTrack(std::shared_ptr<AppSrcVideoSource> source, std::string trackId)
      : source_(std::move(source)), trackId_(std::move(trackId)) {}
  std::string trackId() const override { return trackId_; }
  void addSink(VideoSink*) override {}
  void removeSink(VideoSink*) override {}
  const std::shared_ptr<AppSrcVideoSource>& source() const { return source_; }

 private:
  std::shared_ptr<AppSrcVideoSource> source_;
  std::string trackId_;
};

// A pad track: decoded frames go to its sinks on the decoder's thread. Once
// removeSink() returns, that sink is not called again.
class RemoteVideoTrack final : public VideoTrack {
 public:
  explicit RemoteVideoTrack(std::string trackId) : trackId_(std::move(trackId)) {}
  std::string trackId() const override { return trackId_; }
  void addSink(VideoSink* sink) override;
  void removeSink(VideoSink* sink) override;
  // Every sink at once: the connection closed, its pipeline stops later.
  void detachSinks();
  // One decoded I420 sample; the frame's owner keeps it mapped.
  void deliver(GstSample* sample);

 private:
  std::string trackId_;
  std::recursive_mutex mutex_;  // held while sinks run, so removal waits them out
  std::vector<VideoSink*> sinks_;
};

// Bitrate and degradation live in the encoder: webrtcbin 1.22 has no RTP
// sender parameters. The bitrate limits become x264's bitrate, which is both
// its rate target and its VBV ceiling. It starts at the maximum (or, with only
// a minimum, the engine default raised to it) and then follows the receiver's
// reports (BitrateController), below the minimum when the link demands.
// Resolution and frame rate never degrade (nothing in the pipeline scales),
// so only "disabled" is accepted.
class EncoderRtpSender final : public RtpSender {
 public:
  static constexpr int kDefaultBitrateBps = 10'000'000;
  static constexpr int kFloorBitrateBps = 250'000;
  explicit EncoderRtpSender(GstElement* encoder);
  RtpParameters parameters() const override;
  bool setParameters(const RtpParameters& parameters) override;
  // x264's bitrate in kbit/s for these parameters, or nullopt when refused.
  static std::optional<unsigned> encoderKbps(const RtpParameters& parameters);
  // A receiver report on this stream, from the RTCP thread: the fraction of
  // packets lost and the round trip when known. The new rate in bit/s when
  // the encoder's changed.
  std::optional<int> onReceiverReport(double fractionLost, std::optional<double> rttSeconds, double nowSeconds);

 private:
  mutable std::mutex mutex_;
  GstPtr<GstElement> encoder_;
  RtpParameters parameters_;
  BitrateController controller_{{kDefaultBitrateBps, kDefaultBitrateBps, kFloorBitrateBps}};
  int appliedBps_ = kDefaultBitrateBps;
  // Bytes out of the encoder, counted on its streaming thread.
  std::shared_ptr<std::atomic<std::uint64_t>> encodedBytes_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  std::uint64_t bytesAtLastReport_ = 0;
  std::optional<double> lastReportAt_;
};

// Host: appsrc → x264enc → rtph264pay → a new sendonly webrtcbin sink pad
// (NACK/RTX on, PLI/FIR answered with keyframes), in a playing pipeline.
// x264 encodes at `h264Level`, so the SPS says what the offer declares; a
// picture too big for it raises the level (logged) rather than stopping the
// stream.
//
// With `playoutDelay` every packet carries the playout-delay extension and
// the offer names it, so Chromium renders on its low-latency path; a peer
// that does not echo the extmap ignores the bytes.
struct VideoSendOptions {
  bool playoutDelay = true;
  PlayoutDelay delay;
};
// The offer has no other extmap (transport-cc is only an rtcp-fb there).
inline constexpr guint kPlayoutDelayExtensionId = 4;
struct VideoSendChain {
  std::shared_ptr<AppSrcInput> input;
  std::shared_ptr<EncoderRtpSender> sender;
  std::uint32_t ssrc = 0;
};
std::optional<VideoSendChain> addVideoSendChain(GstElement* pipeline, GstElement* webrtc, const std::string& streamId,
                                                int h264Level, const Logger& log, std::string& error,
                                                const VideoSendOptions& options = {});

// The payloader's RTP caps filter `rtp` onto a new send-only H.264
// transceiver of `webrtc` sending `ssrc` (webrtcbin names an SSRC in the
// offer only when the caps carry it), offering `extmapUri` when not null.
bool linkVideoToWebrtc(GstElement* rtp, GstElement* webrtc, const std::string& streamId, guint ssrc,
                       const char* extmapUri, std::string& error);

// Pad: webrtcbin's RTP src pad → depay → decode → I420 appsink feeding
// `track`. Streams that are not H.264 end in a fakesink.
bool addVideoReceiveChain(GstElement* pipeline, GstPad* rtpPad, std::shared_ptr<RemoteVideoTrack> track,
                          std::string& error);

}  // namespace orvane::rtc
