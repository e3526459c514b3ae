// The playout-delay header extension: its bytes, its element, the offer that
// names it, and a host's video carrying it to a pad.

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

// Host and pad over the real engine, as the browser would meet the host.
class PlayoutDelayLoopbackTest : public ::testing::Test {
 protected:
  struct Observer final : PeerConnectionObserver {
    std::mutex mutex;
    std::vector<MediaStream> streams;
    std::function<void(const IceCandidate&)> forward;
    std::atomic<IceConnectionState> ice{IceConnectionState::newState};
    void onSignalingStateChange(SignalingState) override {}
    void onIceConnectionStateChange(IceConnectionState s) override { ice = s; }
    void onIceGatheringStateChange(IceGatheringState) override {}
    void onIceCandidate(const IceCandidate& c) override { forward(c); }
    void onDataChannel(std::shared_ptr<DataChannel>) override {}
    void onAddStream(const MediaStream& stream) override {
      std::lock_guard lock(mutex);
      streams.push_back(stream);
    }
    bool up() const { return ice == IceConnectionState::connected || ice == IceConnectionState::completed; }
  };
  struct Peer {
    Observer observer;
    std::shared_ptr<PeerConnection> pc;
  };
  struct FrameCounter final : VideoSink {
    std::atomic<int> frames{0};
    void onFrame(const VideoFrame&) override { ++frames; }
  };
  ManualExecutor exec;
  CapturingLogSink logs;
  GstEngine engine{logs};
  std::shared_ptr<PeerConnectionFactory> factory = engine.makeFactory();

  bool waitFor(const std::function<bool()>& done, double seconds) { return exec.runUntil(done, Seconds(seconds)); }

  void wire(Peer& from, Peer& to) {
    from.observer.forward = [this, pc = &to.pc](const IceCandidate& candidate) {
      exec.post([this, pc, candidate] {
        spawnDetached(exec, [pc = *pc, candidate]() -> Task<void> {
          try {
            co_await pc->addIceCandidate(candidate);
          } catch (const EngineError&) {
          }
        });
      });
    };
  }

  // The pad gets the offer through `padSees`, the host the answer through
  // `hostSees`.
  using Edit = std::function<std::string(std::string)>;
  void connect(Peer& host, Peer& pad, const Edit& padSees, const Edit& hostSees) {
    host.pc = factory->createPeerConnection({}, {}, &host.observer);
    pad.pc = factory->createPeerConnection({}, {}, &pad.observer);
    ASSERT_TRUE(host.pc && pad.pc);
    wire(host, pad);
    wire(pad, host);
    ASSERT_TRUE(host.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
    auto offer = test::await(exec, host.pc->createOffer({}));
    ASSERT_TRUE(offer);
    test::await(exec, host.pc->setLocalDescription(*offer));
    offer->sdp = padSees(offer->sdp);
    test::await(exec, pad.pc->setRemoteDescription(*offer));
    auto answer = test::await(exec, pad.pc->createAnswer({}));
    ASSERT_TRUE(answer);
    test::await(exec, pad.pc->setLocalDescription(*answer));
    answer->sdp = hostSees(answer->sdp);
    test::await(exec, host.pc->setRemoteDescription(*answer));
    ASSERT_TRUE(waitFor([&] { return host.observer.up() && pad.observer.up(); }, 15)) << "ICE did not connect";
  }

  // Frames decoded by the pad, and packets counted from the moment its
  // depayloader exists.
  void watch(Peer& pad, FrameCounter& frames, PacketCounter& counter) {
    ASSERT_TRUE(waitFor([&] { std::lock_guard lock(pad.observer.mutex); return !pad.observer.streams.empty(); }, 10));
    pad.observer.streams[0].videoTracks.at(0)->addSink(&frames);
    GstElement* pipeline = static_cast<GstPeerConnection&>(*pad.pc).pipeline();
    GstPtr<GstElement> depay;
    ASSERT_TRUE(waitFor([&] {
      depay.reset(firstMadeBy(pipeline, "rtph264depay"));
      return depay != nullptr;
    }, 10));
    counter.watch(depay.get(), "sink");
  }

  // Grey frames at 30 fps while the connection runs.
  std::shared_ptr<VideoSource> source = factory->createVideoSource();
  std::atomic<bool> stop{false};
  std::thread pusher{[this] {
    const VideoFrame frame = greyFrame();
    while (!stop) {
      VideoCapturer(source).capture(frame);
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
  }};

  void TearDown() override {
    stop = true;
    pusher.join();
  }
};

// The pad stands in for Chromium, whose answer echoes the extmap (webrtcbin's
// does not).
TEST_F(PlayoutDelayLoopbackTest, EveryPacketReachingThePadCarriesTheBounds) {
  FrameCounter frames;  // outlive the connections whose sink and probe they are
  PacketCounter counter;
  Peer host, pad;
  const auto same = [](std::string sdp) {
    EXPECT_NE(sdp.find(kExtmapLine), std::string::npos) << sdp;
    return sdp;
  };
  const auto echoed = [](std::string sdp) {
    const auto mid = sdp.find("a=mid:");
    return mid == std::string::npos ? sdp : sdp.insert(mid, kExtmapLine);
  };
  connect(host, pad, same, echoed);
  watch(pad, frames, counter);
  EXPECT_TRUE(waitFor([&] { return counter.packets >= 30 && frames.frames >= 10; }, 10));
  EXPECT_EQ(counter.withDelay, counter.packets) << "of " << counter.packets << " packets";
  pad.observer.streams[0].videoTracks[0]->removeSink(&frames);
  host.pc->close();
  pad.pc->close();
}

// A peer that never heard of the extension: neither the offer it sees nor
// its answer has the extmap. The bytes still travel and harm nothing.
TEST_F(PlayoutDelayLoopbackTest, APeerThatDoesNotKnowTheExtensionStillGetsVideo) {
  FrameCounter frames;  // outlive the connections whose sink and probe they are
  PacketCounter counter;
  Peer host, pad;
  const auto stripped = [](std::string sdp) {
    const auto at = sdp.find(kExtmapLine);
    return at == std::string::npos ? sdp : sdp.erase(at, kExtmapLine.size());
  };
  connect(host, pad, stripped, [](std::string sdp) { return sdp; });
  watch(pad, frames, counter);
  EXPECT_TRUE(waitFor([&] { return frames.frames >= 10; }, 10)) << frames.frames << " frames";
  EXPECT_EQ(counter.withDelay, counter.packets);
  pad.observer.streams[0].videoTracks[0]->removeSink(&frames);
  host.pc->close();
  pad.pc->close();
}

}  // namespace
}  // namespace orvane::rtc
