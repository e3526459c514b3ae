#pragma once

#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <cstdint>

namespace orvane::rtc {

// Sums one byte counter ("bytes-sent", "bytes-received") over the RTP
// streams of `kind` in a webrtcbin "get-stats" reply.
inline std::uint64_t sumRtpBytes(const GstStructure* stats, GstWebRTCStatsType kind, const char* field) {
  std::uint64_t total = 0;
  for (int i = 0; stats && i < gst_structure_n_fields(stats); ++i) {
    const GValue* value = gst_structure_get_value(stats, gst_structure_nth_field_name(stats, i));
    if (!GST_VALUE_HOLDS_STRUCTURE(value)) continue;
    const GstStructure* s = gst_value_get_structure(value);
    GstWebRTCStatsType type;
    guint64 bytes = 0;
    if (gst_structure_get(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) && type == kind &&
        gst_structure_get_uint64(s, field, &bytes)) {
      total += bytes;
    }
  }
  return total;
}

}  // namespace orvane::rtc
