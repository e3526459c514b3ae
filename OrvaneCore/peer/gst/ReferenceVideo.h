#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>

#include "OrvaneCore/peer/gst/GstVideo.h"

namespace orvane::rtc {

// The latency benchmark's yardstick: the screen sent the way a plain
// GStreamer WebRTC sender is usually written (ximagesrc ! videoconvert !
// x264enc tune=zerolatency speed-preset=ultrafast ! rtph264pay), in place of
// the captured frames. The returned chain has no input, and its sender sets
// the same bitrate ours does.
//
// ORVANE_BENCH_VIDEO chooses a send chain for the benchmark: "reference" this
// one, "no-playout-delay" ours without the playout-delay extension.
std::string benchVideoVariant();
std::optional<VideoSendChain> addReferenceVideoChain(GstElement* pipeline, GstElement* webrtc,
                                                     const std::string& streamId, std::string& error);

}  // namespace orvane::rtc
