#pragma once

// The playout-delay RTP header extension as a GStreamer element, which
// GStreamer 1.22 lacks. Chromium puts a stream whose packets say "min 0, max
// at most 500 ms" on its low-latency path: frames are decoded as they
// complete, not held to a jitter-smoothed render time, and its compositor
// keeps at most max × 60 fps frames queued. Max 0 would drop that queue limit
// (the compositor's low-latency renderer wants max > 0), so the default asks
// for 0-100 ms.
//
// Wire format (one-byte header form, 3 bytes): a 12-bit minimum then a 12-bit
// maximum, both in units of 10 ms.

#include <gst/rtp/gstrtphdrext.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace orvane::rtc {

inline constexpr const char* kPlayoutDelayUri = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";
inline constexpr int kPlayoutDelayStepMs = 10;
inline constexpr int kPlayoutDelayLimitMs = 0xFFF * kPlayoutDelayStepMs;  // 40950
inline constexpr std::size_t kPlayoutDelaySize = 3;

struct PlayoutDelay {
  int minMs = 0;
  int maxMs = 100;
  bool operator==(const PlayoutDelay&) const = default;
};

// `ms` as the wire can carry it: clamped to 0..40950 and rounded to the
// nearest 10 ms.
int playoutDelayWireMs(int ms);

// The three bytes for `delay`, each bound made representable first. A
// minimum above the maximum raises the maximum: Chromium calls min > max
// undefined.
std::array<std::uint8_t, kPlayoutDelaySize> encodePlayoutDelay(PlayoutDelay delay);
// Bounds in ms; nullopt for fewer than three bytes.
std::optional<PlayoutDelay> decodePlayoutDelay(std::span<const std::uint8_t> data);

// Registers the element so gst_rtp_header_extension_create_from_uri() finds
// it by kPlayoutDelayUri. Once per process (GStreamer must be initialised);
// later calls only return the first one's result.
bool registerPlayoutDelayExtension();

// A new extension with the element's properties set from `delay` and RTP
// header id `id` (1..14, the one-byte form). Null when registration failed.
// The caller owns the returned reference.
GstRTPHeaderExtension* makePlayoutDelayExtension(PlayoutDelay delay, guint id);

}  // namespace orvane::rtc
