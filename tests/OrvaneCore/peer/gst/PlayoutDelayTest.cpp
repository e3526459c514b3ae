// The playout-delay header extension: its bytes, its element, the offer that
// names it, and the packets of a host's video carrying it.

#include <gst/rtp/gstrtpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <mutex>
#include <thread>

#include "OrvaneCore/peer/gst/GLibLeakSuppressions.h"
#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/peer/gst/PlayoutDelayExtension.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/support/Await.h"

namespace orvane::rtc {
namespace {

const std::string kExtmapLine = std::string("a=extmap:4 ") + kPlayoutDelayUri + "\r\n";

TEST(PlayoutDelayWireTest, BoundsTravelInTenMillisecondUnitsClampedAndRounded) {
  using Bytes = std::array<std::uint8_t, 3>;
  EXPECT_EQ(encodePlayoutDelay({0, 100}), (Bytes{0x00, 0x00, 0x0A}));
  EXPECT_EQ(encodePlayoutDelay({1230, 40950}), (Bytes{0x07, 0xBF, 0xFF}));
  for (const PlayoutDelay delay : {PlayoutDelay{0, 100}, PlayoutDelay{1230, 40950}, PlayoutDelay{40950, 40950}}) {
    const auto bytes = encodePlayoutDelay(delay);
    EXPECT_EQ(decodePlayoutDelay(bytes), delay);
  }
  const std::pair<int, int> rounding[] = {{INT_MIN, 0}, {-5, 0}, {4, 0}, {5, 10}, {104, 100}, {105, 110},
                                          {40950, 40950}, {40956, 40950}, {99999, 40950}, {INT_MAX, 40950}};
  for (const auto& [ms, wire] : rounding) EXPECT_EQ(playoutDelayWireMs(ms), wire) << ms;
  // Chromium calls min > max undefined: the maximum rises to the minimum.
  EXPECT_EQ(decodePlayoutDelay(encodePlayoutDelay({200, 100})), (PlayoutDelay{200, 200}));
  const std::uint8_t shortData[2] = {0, 0};
  EXPECT_FALSE(decodePlayoutDelay(shortData));
}

class PlayoutDelayElementTest : public ::testing::Test {
 protected:
  void SetUp() override { gst_init(nullptr, nullptr); }
};

TEST_F(PlayoutDelayElementTest, FoundByUriWritesOneByteFormAndReadsBack) {
  ASSERT_TRUE(registerPlayoutDelayExtension());
  ASSERT_TRUE(registerPlayoutDelayExtension());  // again: no second registration, same answer
  GstPtr<GstRTPHeaderExtension> writer(makePlayoutDelayExtension({0, 100}, 4));
  ASSERT_TRUE(writer);
  EXPECT_EQ(gst_rtp_header_extension_get_id(writer.get()), 4u);
  EXPECT_STREQ(gst_rtp_header_extension_get_uri(writer.get()), kPlayoutDelayUri);
  EXPECT_EQ(gst_rtp_header_extension_get_supported_flags(writer.get()), GST_RTP_HEADER_EXTENSION_ONE_BYTE);
  GstBuffer* meta = gst_buffer_new();
  EXPECT_EQ(gst_rtp_header_extension_get_max_size(writer.get(), meta), 3u);

  // Out-of-range and odd values are made representable, not refused.
  g_object_set(writer.get(), "min-delay-ms", -20, "max-delay-ms", 123456, nullptr);
  int minMs = -1, maxMs = -1;
  g_object_get(writer.get(), "min-delay-ms", &minMs, "max-delay-ms", &maxMs, nullptr);
  EXPECT_EQ(minMs, 0);
  EXPECT_EQ(maxMs, 40950);
  g_object_set(writer.get(), "min-delay-ms", 104, "max-delay-ms", 1235, nullptr);

  std::uint8_t data[3] = {};
  EXPECT_EQ(gst_rtp_header_extension_write(writer.get(), meta, GST_RTP_HEADER_EXTENSION_ONE_BYTE, meta, data, 2), -1);
  ASSERT_EQ(gst_rtp_header_extension_write(writer.get(), meta, GST_RTP_HEADER_EXTENSION_ONE_BYTE, meta, data, 3), 3);
  EXPECT_EQ(decodePlayoutDelay(data), (PlayoutDelay{100, 1240}));

  GstPtr<GstRTPHeaderExtension> reader(gst_rtp_header_extension_create_from_uri(kPlayoutDelayUri));
  ASSERT_TRUE(reader);
  gst_object_ref_sink(reader.get());
  gst_rtp_header_extension_set_id(reader.get(), 4);
  EXPECT_FALSE(gst_rtp_header_extension_read(reader.get(), GST_RTP_HEADER_EXTENSION_ONE_BYTE, data, 2, meta));
  ASSERT_TRUE(gst_rtp_header_extension_read(reader.get(), GST_RTP_HEADER_EXTENSION_ONE_BYTE, data, 3, meta));
  g_object_get(reader.get(), "min-delay-ms", &minMs, "max-delay-ms", &maxMs, nullptr);
  EXPECT_EQ(minMs, 100);
  EXPECT_EQ(maxMs, 1240);
  gst_buffer_unref(meta);
}

// RTP packets seen at a pad, and those carrying the expected bounds.
struct PacketCounter {
  std::atomic<int> packets{0};
  std::atomic<int> withDelay{0};
  PlayoutDelay expected;

  void watch(GstElement* element, const char* padName) {
    GstPtr<GstPad> pad(gst_element_get_static_pad(element, padName));
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, &PacketCounter::onPacket, this, nullptr);
  }
  static GstPadProbeReturn onPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto& counter = *static_cast<PacketCounter*>(data);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ, &rtp)) return GST_PAD_PROBE_OK;
    gpointer bytes = nullptr;
    guint size = 0;
    if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, kPlayoutDelayExtensionId, 0, &bytes, &size) &&
        decodePlayoutDelay({static_cast<const std::uint8_t*>(bytes), size}) == counter.expected) {
      ++counter.withDelay;
    }
    ++counter.packets;
    gst_rtp_buffer_unmap(&rtp);
    return GST_PAD_PROBE_OK;
  }
};

// The first element of `pipeline` made by `factory`, or null; a new reference.
GstElement* firstMadeBy(GstElement* pipeline, const char* factory) {
  GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(pipeline), factory);
  GValue item = G_VALUE_INIT;
  GstElement* found = nullptr;
  if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) found = GST_ELEMENT(g_value_dup_object(&item));
  g_value_unset(&item);
  gst_iterator_free(it);
  return found;
}

VideoFrame greyFrame() {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(320 * 240 * 3 / 2, 128);
  VideoFrame frame;
  frame.width = 320;
  frame.height = 240;
  frame.planes = {pixels->data(), pixels->data() + 320 * 240, pixels->data() + 320 * 240 * 5 / 4};
  frame.strides = {320, 160, 160};
  frame.owner = pixels;
  return frame;
}

// A bare webrtcbin with one send chain: its offer, and the payloader's
// packets for a few frames.
std::string offerAndPackets(const VideoSendOptions& options, PacketCounter& counter) {
  GstElement* pipeline = gst_pipeline_new(nullptr);
  GstElement* webrtc = gst_element_factory_make("webrtcbin", nullptr);
  gst_bin_add(GST_BIN(pipeline), webrtc);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  CapturingLogSink logs;
  std::string error, sdp;
  auto chain = addVideoSendChain(pipeline, webrtc, "stream0", 31, Logger("test", "test", logs), error, options);
  if (chain) {
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
    gst_promise_wait(promise);
    GstWebRTCSessionDescription* offer = nullptr;
    gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    gst_promise_unref(promise);
    if (offer) {
      gchar* text = gst_sdp_message_as_text(offer->sdp);
      sdp = text;
      g_free(text);
      gst_webrtc_session_description_free(offer);
    }
    GstPtr<GstElement> payloader(firstMadeBy(pipeline, "rtph264pay"));
    counter.watch(payloader.get(), "src");
    AppSrcVideoSource source;
    source.attach(chain->input);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (counter.packets == 0 && std::chrono::steady_clock::now() < deadline) {
      source.deliverFrame(greyFrame());
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    source.detach(chain->input);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return sdp;
}

TEST_F(PlayoutDelayElementTest, TheOfferNamesTheExtensionAndPacketsCarryTheChosenBounds) {
  PacketCounter withIt;
  withIt.expected = {20, 300};
  const std::string on = offerAndPackets({.playoutDelay = true, .delay = withIt.expected}, withIt);
  EXPECT_NE(on.find(kExtmapLine), std::string::npos) << on;
  ASSERT_GT(withIt.packets, 0);
  EXPECT_EQ(withIt.withDelay, withIt.packets);

  PacketCounter withoutIt;
  const std::string off = offerAndPackets({.playoutDelay = false, .delay = {}}, withoutIt);
  ASSERT_NE(off.find("m=video"), std::string::npos) << off;
  EXPECT_EQ(off.find("playout-delay"), std::string::npos) << off;
  ASSERT_GT(withoutIt.packets, 0);
  EXPECT_EQ(withoutIt.withDelay, 0);
}

// Our own pad's answer (webrtcbin) does not echo the extmap, so the engine's
// connection tests show a peer without it still gets video; Chromium's echo is
// met by the browser test and the latency benchmark.

}  // namespace
}  // namespace orvane::rtc
