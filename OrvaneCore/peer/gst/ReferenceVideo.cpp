#include "OrvaneCore/peer/gst/ReferenceVideo.h"

#include <cstdlib>
#include <random>

#include "OrvaneCore/peer/gst/GstRef.h"

namespace orvane::rtc {

std::string benchVideoVariant() {
  const char* value = std::getenv("ORVANE_BENCH_VIDEO");
  return value ? value : "";
}

std::optional<VideoSendChain> addReferenceVideoChain(GstElement* pipeline, GstElement* webrtc,
                                                     const std::string& streamId, std::string& error) {
  const char* description =
      "ximagesrc use-damage=false ! video/x-raw,framerate=30/1 ! videoconvert ! queue ! "
      "x264enc name=enc tune=zerolatency speed-preset=ultrafast ! video/x-h264,profile=constrained-baseline ! "
      "rtph264pay name=pay config-interval=-1 pt=96 ! "
      "capsfilter caps=application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000";
  GError* parseError = nullptr;
  GstElement* bin = gst_parse_bin_from_description(description, TRUE, &parseError);
  if (!bin) {
    error = std::string("reference video chain: ") + (parseError ? parseError->message : "cannot parse");
    g_clear_error(&parseError);
    return std::nullopt;
  }
  g_clear_error(&parseError);
  std::random_device random;
  const guint ssrc = std::uniform_int_distribution<guint>(1, G_MAXUINT32)(random);
  GstPtr<GstElement> pay(gst_bin_get_by_name(GST_BIN(bin), "pay"));
  GstPtr<GstElement> enc(gst_bin_get_by_name(GST_BIN(bin), "enc"));
  g_object_set(pay.get(), "ssrc", ssrc, nullptr);
  gst_bin_add(GST_BIN(pipeline), bin);
  if (!linkVideoToWebrtc(bin, webrtc, streamId, ssrc, nullptr, error)) return std::nullopt;
  gst_element_sync_state_with_parent(bin);
  VideoSendChain chain;
  chain.sender = std::make_shared<EncoderRtpSender>(enc.get());
  chain.ssrc = ssrc;
  return chain;
}

}  // namespace orvane::rtc
