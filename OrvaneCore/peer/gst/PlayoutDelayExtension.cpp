#include "OrvaneCore/peer/gst/PlayoutDelayExtension.h"

#include <algorithm>
#include <mutex>

namespace orvane::rtc {

int playoutDelayWireMs(int ms) {
  const long clamped = std::clamp<long>(ms, 0, kPlayoutDelayLimitMs);
  return int((clamped + kPlayoutDelayStepMs / 2) / kPlayoutDelayStepMs * kPlayoutDelayStepMs);
}

std::array<std::uint8_t, kPlayoutDelaySize> encodePlayoutDelay(PlayoutDelay delay) {
  const int minUnits = playoutDelayWireMs(delay.minMs) / kPlayoutDelayStepMs;
  const int maxUnits = std::max(minUnits, playoutDelayWireMs(delay.maxMs) / kPlayoutDelayStepMs);
  return {std::uint8_t(minUnits >> 4), std::uint8_t(((minUnits & 0xF) << 4) | (maxUnits >> 8)),
          std::uint8_t(maxUnits & 0xFF)};
}

std::optional<PlayoutDelay> decodePlayoutDelay(std::span<const std::uint8_t> data) {
  if (data.size() < kPlayoutDelaySize) return std::nullopt;
  const int minUnits = (data[0] << 4) | (data[1] >> 4);
  const int maxUnits = ((data[1] & 0xF) << 8) | data[2];
  return PlayoutDelay{minUnits * kPlayoutDelayStepMs, maxUnits * kPlayoutDelayStepMs};
}

namespace {

// The GObject side. Bounds are kept as the wire carries them, under the
// object lock: properties are set from the application while packets are
// written on the streaming thread.
struct OrvanePlayoutDelayExtension {
  GstRTPHeaderExtension parent;
  PlayoutDelay delay;
};
struct OrvanePlayoutDelayExtensionClass {
  GstRTPHeaderExtensionClass parent_class;
};

enum { kPropMinDelay = 1, kPropMaxDelay };

GType extensionType();

OrvanePlayoutDelayExtension* self(gpointer object) {
  return G_TYPE_CHECK_INSTANCE_CAST(object, extensionType(), OrvanePlayoutDelayExtension);
}

PlayoutDelay currentDelay(OrvanePlayoutDelayExtension* ext) {
  GST_OBJECT_LOCK(ext);
  const PlayoutDelay delay = ext->delay;
  GST_OBJECT_UNLOCK(ext);
  return delay;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
  if (id != kPropMinDelay && id != kPropMaxDelay) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    return;
  }
  auto* ext = self(object);
  const int ms = playoutDelayWireMs(g_value_get_int(value));
  GST_OBJECT_LOCK(ext);
  (id == kPropMinDelay ? ext->delay.minMs : ext->delay.maxMs) = ms;
  GST_OBJECT_UNLOCK(ext);
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
  const PlayoutDelay delay = currentDelay(self(object));
  if (id == kPropMinDelay) {
    g_value_set_int(value, delay.minMs);
  } else if (id == kPropMaxDelay) {
    g_value_set_int(value, delay.maxMs);
  } else {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }
}

// Three bytes fit the one-byte form, which every browser reads; the two-byte
// form would force itself on the payloader's other extensions.
GstRTPHeaderExtensionFlags supportedFlags(GstRTPHeaderExtension*) { return GST_RTP_HEADER_EXTENSION_ONE_BYTE; }

gsize maxSize(GstRTPHeaderExtension*, const GstBuffer*) { return kPlayoutDelaySize; }

// Every packet: a receiver that joins late, or loses the first packets,
// still learns the bounds with the next one.
gssize write(GstRTPHeaderExtension* base, const GstBuffer*, GstRTPHeaderExtensionFlags, GstBuffer*, guint8* data,
             gsize size) {
  if (size < kPlayoutDelaySize) return -1;
  const auto bytes = encodePlayoutDelay(currentDelay(self(base)));
  std::copy(bytes.begin(), bytes.end(), data);
  return gssize(bytes.size());
}

// A receiving element takes the sender's bounds as its own properties.
gboolean read(GstRTPHeaderExtension* base, GstRTPHeaderExtensionFlags, const guint8* data, gsize size, GstBuffer*) {
  const auto delay = decodePlayoutDelay({data, size});
  if (!delay) return FALSE;
  auto* ext = self(base);
  GST_OBJECT_LOCK(ext);
  ext->delay = *delay;
  GST_OBJECT_UNLOCK(ext);
  return TRUE;
}

// The extmap attribute carries nothing for this extension: only the URI.
gboolean setAttributes(GstRTPHeaderExtension*, GstRTPHeaderExtensionDirection, const gchar*) { return TRUE; }

gboolean setCapsFromAttributes(GstRTPHeaderExtension* base, GstCaps* caps) {
  return gst_rtp_header_extension_set_caps_from_attributes_helper(base, caps, "");
}

void classInit(gpointer klass, gpointer) {
  auto* objectClass = G_OBJECT_CLASS(klass);
  objectClass->set_property = setProperty;
  objectClass->get_property = getProperty;
  const auto flags = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
  // Any int is taken and made representable, rather than refused.
  g_object_class_install_property(
      objectClass, kPropMinDelay,
      g_param_spec_int("min-delay-ms", "Minimum delay", "Minimum playout delay in ms (0-40950, 10 ms steps)", G_MININT,
                       G_MAXINT, PlayoutDelay{}.minMs, flags));
  g_object_class_install_property(
      objectClass, kPropMaxDelay,
      g_param_spec_int("max-delay-ms", "Maximum delay", "Maximum playout delay in ms (0-40950, 10 ms steps)", G_MININT,
                       G_MAXINT, PlayoutDelay{}.maxMs, flags));

  auto* extClass = GST_RTP_HEADER_EXTENSION_CLASS(klass);
  extClass->get_supported_flags = supportedFlags;
  extClass->get_max_size = maxSize;
  extClass->write = write;
  extClass->read = read;
  extClass->set_attributes = setAttributes;
  extClass->set_caps_from_attributes = setCapsFromAttributes;
  gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Playout delay RTP header extension",
                                        GST_RTP_HDREXT_ELEMENT_CLASS, "Asks the receiver for a playout delay range",
                                        "Orvane");
  gst_rtp_header_extension_class_set_uri(extClass, kPlayoutDelayUri);
}

void instanceInit(GTypeInstance* instance, gpointer) {
  reinterpret_cast<OrvanePlayoutDelayExtension*>(instance)->delay = PlayoutDelay{};
}

GType extensionType() {
  static const GType type = [] {
    const GTypeInfo info{sizeof(OrvanePlayoutDelayExtensionClass),
                         nullptr,
                         nullptr,
                         classInit,
                         nullptr,
                         nullptr,
                         sizeof(OrvanePlayoutDelayExtension),
                         0,
                         instanceInit,
                         nullptr};
    return g_type_register_static(GST_TYPE_RTP_HEADER_EXTENSION, "OrvanePlayoutDelayExtension", &info, GTypeFlags(0));
  }();
  return type;
}

gboolean pluginInit(GstPlugin* plugin) {
  return gst_element_register(plugin, "orvaneplayoutdelay", GST_RANK_MARGINAL, extensionType());
}

}  // namespace

bool registerPlayoutDelayExtension() {
  // Like SSL set-up, the registry is process-wide: the one allowed once-only state.
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    registered = gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "orvanertp",
                                            "Orvane's RTP header extensions", pluginInit, "1.0", "Proprietary",
                                            "Orvane", "Orvane", "https://orvane.invalid");
  });
  return registered;
}

GstRTPHeaderExtension* makePlayoutDelayExtension(PlayoutDelay delay, guint id) {
  if (!registerPlayoutDelayExtension()) return nullptr;
  GstRTPHeaderExtension* ext = gst_rtp_header_extension_create_from_uri(kPlayoutDelayUri);
  if (!ext) return nullptr;
  gst_object_ref_sink(ext);  // made floating, like any element
  g_object_set(ext, "min-delay-ms", delay.minMs, "max-delay-ms", delay.maxMs, nullptr);
  gst_rtp_header_extension_set_id(ext, id);
  return ext;
}

}  // namespace orvane::rtc
