// The real engine, two connections in one process: a host (video + "control"
// channel) and a pad, with descriptions and candidates passed directly.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <mutex>
#include <thread>

#include <gst/webrtc/webrtc.h>

#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneServer/TurnCredentials.h"
#include "tests/OrvaneCore/peer/gst/Leftovers.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

extern char** environ;

// GLib drops its quark table, by design, each time it grows (GStreamer's
// plugins make thousands of quarks; all the tests in one process grow it
// twice). The first is allocated by GLib's library constructor, which a full
// unwind (GLib has no frame pointers) shows; later ones by the interning.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() {
  return "leak:_dl_init\nleak:g_intern_string\nleak:g_intern_static_string\nleak:g_quark_from_string\n"
         "leak:g_quark_from_static_string\n";
}

namespace orvane::rtc {
namespace {

using Clock = std::chrono::steady_clock;

std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }
std::span<const std::uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// Every callback of one connection, kept for the test thread.
struct Recorder final : PeerConnectionObserver {
  std::mutex mutex;
  std::vector<IceConnectionState> ice;
  std::vector<SignalingState> signaling;
  std::vector<std::shared_ptr<DataChannel>> channels;
  std::vector<MediaStream> streams;
  std::function<void(const IceCandidate&)> forward;
  std::function<void(IceConnectionState)> onIce;
  std::atomic<int> calls{0};

  void onSignalingStateChange(SignalingState s) override {
    ++calls;
    std::lock_guard lock(mutex);
    signaling.push_back(s);
  }
  void onIceConnectionStateChange(IceConnectionState s) override {
    ++calls;
    {
      std::lock_guard lock(mutex);
      ice.push_back(s);
    }
    if (onIce) onIce(s);
  }
  void onIceGatheringStateChange(IceGatheringState) override { ++calls; }
  void onIceCandidate(const IceCandidate& c) override {
    ++calls;
    if (forward) forward(c);
  }
  void onDataChannel(std::shared_ptr<DataChannel> channel) override {
    ++calls;
    std::lock_guard lock(mutex);
    channels.push_back(std::move(channel));
  }
  void onAddStream(const MediaStream& stream) override {
    ++calls;
    std::lock_guard lock(mutex);
    streams.push_back(stream);
  }
  bool saw(IceConnectionState s) {
    std::lock_guard lock(mutex);
    return std::find(ice.begin(), ice.end(), s) != ice.end();
  }
  IceConnectionState lastIce() {
    std::lock_guard lock(mutex);
    return ice.empty() ? IceConnectionState::newState : ice.back();
  }
  bool up() {
    const auto s = lastIce();
    return s == IceConnectionState::connected || s == IceConnectionState::completed;
  }
};

struct ChannelRecorder final : DataChannelObserver {
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> messages;
  std::function<void(DataChannel&)> onOpen;
  std::atomic<int> calls{0};

  void onStateChange(DataChannel& channel) override {
    ++calls;
    if (channel.readyState() == DataChannelState::open && onOpen) onOpen(channel);
  }
  void onMessage(DataChannel&, std::span<const std::uint8_t> data, bool isBinary) override {
    ++calls;
    std::lock_guard lock(mutex);
    messages.emplace_back(text(data), isBinary);
  }
  std::vector<std::pair<std::string, bool>> received() {
    std::lock_guard lock(mutex);
    return messages;
  }
};

// What the pad decodes: size and the colour at three points of the middle row.
struct FrameRecorder final : VideoSink {
  struct Seen {
    int width, height;
    std::array<int, 3> y, u, v;  // left, centre, right
  };
  std::mutex mutex;
  std::vector<Seen> seen;
  std::atomic<int> calls{0};

  void onFrame(const VideoFrame& f) override {
    ++calls;
    Seen s{f.width, f.height, {}, {}, {}};
    const int row = f.height / 2;
    const int xs[3] = {8, f.width / 2, f.width - 9};
    for (int i = 0; i < 3; ++i) {
      s.y[i] = f.planes[0][row * f.strides[0] + xs[i]];
      s.u[i] = f.planes[1][row / 2 * f.strides[1] + xs[i] / 2];
      s.v[i] = f.planes[2][row / 2 * f.strides[2] + xs[i] / 2];
    }
    std::lock_guard lock(mutex);
    seen.push_back(s);
  }
  // A frame of this size whose three points are all near (y, u, v).
  bool sawColour(int width, int height, int y, int u, int v) {
    std::lock_guard lock(mutex);
    return std::any_of(seen.begin(), seen.end(), [&](const Seen& s) {
      bool near = s.width == width && s.height == height;
      for (int i = 0; i < 3; ++i) {
        near = near && std::abs(s.y[i] - y) <= 6 && std::abs(s.u[i] - u) <= 6 && std::abs(s.v[i] - v) <= 6;
      }
      return near;
    });
  }
};

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Test pictures: solid BGRA colours (one with padded rows whose padding is
// white, so a stride mistake shows) and a solid I420 grey.
VideoFrame bgraFrame(std::uint8_t b, std::uint8_t g, std::uint8_t r, int padding) {
  const int stride = kWidth * 4 + padding;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(stride) * kHeight, 0xFF);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = pixels->data() + y * stride + x * 4;
      p[0] = b, p[1] = g, p[2] = r, p[3] = 0xFF;
    }
  }
  VideoFrame f;
  f.format = VideoFrame::Format::bgra;
  f.width = kWidth;
  f.height = kHeight;
  f.planes[0] = pixels->data();
  f.strides[0] = stride;
  f.owner = pixels;
  return f;
}

VideoFrame i420Frame(std::uint8_t y, std::uint8_t u, std::uint8_t v, int width = kWidth, int height = kHeight) {
  const int ySize = width * height, cSize = ySize / 4;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(ySize + 2 * cSize);
  std::fill_n(pixels->begin(), ySize, y);
  std::fill_n(pixels->begin() + ySize, cSize, u);
  std::fill_n(pixels->begin() + ySize + cSize, cSize, v);
  VideoFrame f;
  f.width = width;
  f.height = height;
  f.planes = {pixels->data(), pixels->data() + ySize, pixels->data() + ySize + cSize};
  f.strides = {width, width / 2, width / 2};
  f.owner = pixels;
  return f;
}

// The level_idc of the last SPS the host's encoder produced, read from the
// payloader's input (Annex B: start code, NAL header of type 7, profile,
// constraint flags, level).
class SpsLevel {
 public:
  explicit SpsLevel(GstElement* pipeline) {
    GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(pipeline), "rtph264pay");
    GValue payloader = G_VALUE_INIT;
    if (gst_iterator_next(it, &payloader) == GST_ITERATOR_OK) {
      pad_ = gst_element_get_static_pad(GST_ELEMENT(g_value_get_object(&payloader)), "sink");
      probe_ = gst_pad_add_probe(pad_, GST_PAD_PROBE_TYPE_BUFFER, &SpsLevel::onBuffer, this, nullptr);
    }
    g_value_unset(&payloader);
    gst_iterator_free(it);
  }
  ~SpsLevel() {
    if (pad_) {
      gst_pad_remove_probe(pad_, probe_);
      gst_object_unref(pad_);
    }
  }
  int level() const { return level_; }

 private:
  static GstPadProbeReturn onBuffer(GstPad*, GstPadProbeInfo* info, gpointer self) {
    GstMapInfo map;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
    for (gsize i = 0; i + 6 < map.size; ++i) {
      if (map.data[i] == 0 && map.data[i + 1] == 0 && map.data[i + 2] == 1 && (map.data[i + 3] & 0x1F) == 7) {
        static_cast<SpsLevel*>(self)->level_ = map.data[i + 6];
      }
    }
    gst_buffer_unmap(buffer, &map);
    return GST_PAD_PROBE_OK;
  }
  GstPad* pad_ = nullptr;
  gulong probe_ = 0;
  std::atomic<int> level_{0};
};

// The element factories of everything in a pipeline, nested bins included.
std::set<std::string> elementFactories(GstElement* pipeline) {
  std::set<std::string> names;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(g_value_get_object(&item)));
    if (factory) names.insert(GST_OBJECT_NAME(factory));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return names;
}

// Pushes the current picture at 30 fps, as a capture thread would.
class FramePusher {
 public:
  explicit FramePusher(std::shared_ptr<VideoSource> source) : capturer_(std::move(source)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        VideoFrame frame;
        {
          std::lock_guard lock(mutex_);
          frame = frame_;
        }
        if (frame.width) capturer_.capture(frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
      }
    });
  }
  ~FramePusher() {
    stop_ = true;
    thread_.join();
  }
  void show(VideoFrame frame) {
    std::lock_guard lock(mutex_);
    frame_ = std::move(frame);
  }

 private:
  VideoCapturer capturer_;
  std::mutex mutex_;
  VideoFrame frame_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

using test::socketCount;
using test::threadNames;

class GstEngineTest : public ::testing::Test {
 protected:
  struct Peer {
    Recorder observer;  // outlives the connection, which calls it until closed
    std::shared_ptr<PeerConnection> pc;
    GstPeerConnection& gst() { return static_cast<GstPeerConnection&>(*pc); }
  };

  // Closing once blocked for the pipeline to stop; 50 ms tells that from a busy machine's scheduling.
  ManualExecutor exec{nullptr, Seconds(std::max(0.05, StallMonitor::kDefaultThreshold.count()))};
  CapturingLogSink logs;
  GstEngine engine{logs};
  std::shared_ptr<PeerConnectionFactory> factory = engine.makeFactory();
  std::atomic<int> refusedCandidates{0};
  std::atomic<int> candidatesWithoutMid{0};

  bool waitFor(const std::function<bool()>& done, double seconds) { return exec.runUntil(done, Seconds(seconds)); }

  void open(Peer& peer, const Configuration& configuration = {}) {
    peer.pc = factory->createPeerConnection(configuration, {}, &peer.observer);
    ASSERT_TRUE(peer.pc);
  }

  // Candidates go straight to the other side, on the test thread.
  void wire(Peer& from, Peer& to) {
    from.observer.forward = [this, &to](const IceCandidate& candidate) {
      if (!candidate.sdpMid) ++candidatesWithoutMid;
      exec.post([this, pc = to.pc, candidate] {
        spawnDetached(exec, [this, pc, candidate]() -> Task<void> {
          try {
            co_await pc->addIceCandidate(candidate);
          } catch (const EngineError&) {
            ++refusedCandidates;
          }
        });
      });
    };
  }

  // A host with video and "control", its offer set and returned.
  SessionDescription hostWithOffer(Peer& host) {
    open(host);
    host.pc->addTrack(factory->createVideoTrack(factory->createVideoSource(), "video0"), {"stream0"});
    host.pc->createDataChannel("control", DataChannelInit{});
    const auto offer = test::await(exec, host.pc->createOffer({}));
    test::await(exec, host.pc->setLocalDescription(*offer));
    return *offer;
  }

  void negotiate(Peer& host, Peer& pad) {
    wire(host, pad);
    wire(pad, host);
    MediaConstraints offerConstraints{{{"OfferToReceiveVideo", "true"}}, {}};
    const auto offer = test::await(exec, host.pc->createOffer(offerConstraints));
    ASSERT_TRUE(offer);
    ASSERT_EQ(offer->type, SdpType::offer);
    test::await(exec, host.pc->setLocalDescription(*offer));
    test::await(exec, pad.pc->setRemoteDescription(*offer));
    const auto answer = test::await(exec, pad.pc->createAnswer({}));
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->type, SdpType::answer);
    test::await(exec, pad.pc->setLocalDescription(*answer));
    test::await(exec, host.pc->setRemoteDescription(*answer));
    EXPECT_EQ(host.pc->signalingState(), SignalingState::stable);
    ASSERT_TRUE(waitFor([&] { return host.observer.up() && pad.observer.up(); }, 15)) << "ICE did not connect";
  }
};

TEST_F(GstEngineTest, HostAndPadExchangeVideoAndControlMessagesAndCloseCleanly) {
  const auto threadsBefore = threadNames();
  const int socketsBefore = socketCount();
  GstElement* pipelines[2] = {};
  FrameRecorder frames;
  ChannelRecorder hostChannel, padChannel;
  {
    Peer host, pad;
    open(host);
    open(pad);
    ASSERT_TRUE(engine.setLargestVideoFrame({1920, 1200}));  // a 16:10 screen: level 5
    auto source = factory->createVideoSource();
    auto track = factory->createVideoTrack(source, "video0");
    auto sender = host.pc->addTrack(track, {"stream0"});
    ASSERT_TRUE(sender);
    SpsLevel sps(host.gst().pipeline());
    auto parameters = sender->parameters();
    ASSERT_EQ(parameters.encodings.size(), 1u);
    parameters.degradationPreference = DegradationPreference::disabled;
    parameters.encodings[0].minBitrateBps = 8'000'000;
    parameters.encodings[0].maxBitrateBps = 12'000'000;
    EXPECT_TRUE(sender->setParameters(parameters));
    EXPECT_EQ(sender->parameters(), parameters);

    auto control = host.pc->createDataChannel("control", DataChannelInit{});
    ASSERT_TRUE(control);
    EXPECT_EQ(control->label(), "control");
    hostChannel.onOpen = [](DataChannel& channel) { channel.send(bytes("{\"type\":\"hello\"}"), false); };
    control->setObserver(&hostChannel);

    FramePusher pusher(source);
    pusher.show(bgraFrame(0, 0, 255, 0));  // red
    negotiate(host, pad);
    pipelines[0] = host.gst().pipeline();
    pipelines[1] = pad.gst().pipeline();
    g_object_add_weak_pointer(G_OBJECT(pipelines[0]), reinterpret_cast<gpointer*>(&pipelines[0]));
    g_object_add_weak_pointer(G_OBJECT(pipelines[1]), reinterpret_cast<gpointer*>(&pipelines[1]));

    // No UPnP port mappings on the router.
    GObject* ice = nullptr;
    GObject* agent = nullptr;
    gboolean upnp = TRUE;
    g_object_get(host.gst().webrtcbin(), "ice-agent", &ice, nullptr);
    g_object_get(ice, "agent", &agent, nullptr);
    g_object_get(agent, "upnp", &upnp, nullptr);
    EXPECT_FALSE(upnp);
    g_object_unref(agent);
    gst_object_unref(ice);

    // The offer names the codec browsers expect, at the level the largest
    // picture needs, and a send-only video named as the host named it.
    const auto offer = host.pc->localDescription();
    ASSERT_TRUE(offer);
    EXPECT_NE(offer->sdp.find("profile-level-id=42e032"), std::string::npos) << offer->sdp;
    EXPECT_NE(offer->sdp.find("a=msid:stream0 video0\r\n"), std::string::npos) << offer->sdp;
    EXPECT_EQ(offer->sdp.find("webrtctransceiver"), std::string::npos) << offer->sdp;
    EXPECT_NE(offer->sdp.find("a=sendonly"), std::string::npos);
    EXPECT_NE(offer->sdp.find("nack pli"), std::string::npos);
    EXPECT_NE(offer->sdp.find("a=candidate:"), std::string::npos);
    EXPECT_EQ(refusedCandidates, 0);
    EXPECT_EQ(candidatesWithoutMid, 0);

    // The pad learns of the host's stream and decodes every kind of frame.
    std::shared_ptr<VideoTrack> remote;
    {
      std::lock_guard lock(pad.observer.mutex);
      ASSERT_EQ(pad.observer.streams.size(), 1u);
      EXPECT_EQ(pad.observer.streams[0].streamId, "stream0");
      ASSERT_EQ(pad.observer.streams[0].videoTracks.size(), 1u);
      remote = pad.observer.streams[0].videoTracks[0];
    }
    EXPECT_EQ(remote->trackId(), "video0");
    remote->addSink(&frames);
    EXPECT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 82, 90, 240); }, 10)) << "no red BGRA frame";
    pusher.show(i420Frame(200, 128, 128));
    EXPECT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 200, 128, 128); }, 5)) << "no I420 frame";
    pusher.show(bgraFrame(255, 0, 0, 64));  // blue, padded rows
    EXPECT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 41, 240, 110); }, 5)) << "no padded frame";
    EXPECT_EQ(sps.level(), 50) << "the SPS must declare what the offer declares";

    // The pad adopts the channel; what the host sent before the pad looked
    // is kept for it, then messages flow both ways.
    ASSERT_TRUE(waitFor([&] { return !pad.observer.channels.empty(); }, 5));
    auto adopted = pad.observer.channels[0];
    EXPECT_EQ(adopted->label(), "control");
    ASSERT_TRUE(waitFor([&] { return adopted->readyState() == DataChannelState::open; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    adopted->setObserver(&padChannel);
    EXPECT_TRUE(adopted->send(bytes("{\"type\":\"tap\",\"x\":1}"), false));
    EXPECT_FALSE(adopted->send(bytes(std::string_view("a\0b", 3)), false));  // not a C string
    ASSERT_TRUE(waitFor([&] { return !hostChannel.received().empty(); }, 5));
    EXPECT_EQ(hostChannel.received()[0], std::make_pair(std::string("{\"type\":\"tap\",\"x\":1}"), false));
    ASSERT_TRUE(waitFor([&] { return !padChannel.received().empty(); }, 5));
    EXPECT_EQ(padChannel.received()[0], std::make_pair(std::string("{\"type\":\"hello\"}"), false));

    // The pad closes first: the host's channel closes within a moment (about
    // 200 ms), long before the silence would tell (6 s). "closed" is the last thing each observer hears.
    remote->removeSink(&frames);
    const auto stallsBefore = exec.stalls();
    exec.post([&] { pad.pc->close(); });
    exec.runUntilIdle();
    const auto padClosed = Clock::now();
    EXPECT_TRUE(waitFor([&] { return control->readyState() == DataChannelState::closed; }, 3))
        << "the host's channel is still open";
    RecordProperty("peer_close_ms",
                   std::to_string(std::chrono::duration<double, std::milli>(Clock::now() - padClosed).count()));
    exec.post([&] { host.pc->close(); });
    exec.runUntilIdle();
    EXPECT_EQ(exec.stalls(), stallsBefore);  // the pipelines stop elsewhere
    const int calls = host.observer.calls + pad.observer.calls + hostChannel.calls + padChannel.calls + frames.calls;
    EXPECT_EQ(host.observer.lastIce(), IceConnectionState::closed);
    EXPECT_EQ(host.observer.signaling.back(), SignalingState::closed);
    EXPECT_EQ(control->readyState(), DataChannelState::closed);
    EXPECT_FALSE(control->send(bytes("late"), false));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(host.observer.calls + pad.observer.calls + hostChannel.calls + padChannel.calls + frames.calls, calls);
  }
  // Nothing of the two connections stays behind. GLib keeps idle pool
  // threads for reuse; they are not the engine's.
  EXPECT_TRUE(waitFor(
      [&] {
        g_thread_pool_stop_unused_threads();
        return pipelines[0] == nullptr && pipelines[1] == nullptr && threadNames() == threadsBefore &&
               socketCount() == socketsBefore;
      },
      5))
      << threadNames().size() << " threads (before: " << threadsBefore.size() << "), " << socketCount()
      << " sockets (before: " << socketsBefore << ")";
}

// After warm-up the first connection of the process waits for no plugin
// and no DTLS key: one of every element it is built from was made.
TEST_F(GstEngineTest, WarmUpReadiesEveryElementTheFirstConnectionUses) {
  engine.warmUp();
  engine.warmUp();  // nothing more
  ASSERT_TRUE(waitFor([&] { return engine.warmUpFinished(); }, 20));
  for (const auto& message : logs.messages()) EXPECT_FALSE(message.starts_with("warm-up: GStreamer element missing"));

  auto source = factory->createVideoSource();
  auto offerMs = [&](Peer& peer) {
    const auto start = Clock::now();
    open(peer);
    EXPECT_TRUE(peer.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
    peer.pc->createDataChannel("control", DataChannelInit{});
    EXPECT_TRUE(test::await(exec, peer.pc->createOffer({})));
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  FrameRecorder frames;  // outlives the connections that feed it
  Peer host, pad, second;
  const double first = offerMs(host);
  const double next = offerMs(second);
  second.pc->close();
  RecordProperty("first_offer_ms", std::to_string(first));
  RecordProperty("second_offer_ms", std::to_string(next));
  // Cold, the DTLS key alone adds 150 ms or more to the first.
  EXPECT_LT(first, next + 100);

  open(pad);
  FramePusher pusher(source);
  pusher.show(i420Frame(200, 128, 128));
  negotiate(host, pad);
  {
    std::lock_guard lock(pad.observer.mutex);
    ASSERT_EQ(pad.observer.streams.size(), 1u);
    pad.observer.streams[0].videoTracks[0]->addSink(&frames);
  }
  ASSERT_TRUE(waitFor([&] { return frames.calls > 0; }, 10));
  std::set<std::string> used = elementFactories(host.gst().pipeline());
  used.merge(elementFactories(pad.gst().pipeline()));
  const auto warmed = GstEngine::warmUpElements();
  for (const auto& name : used) {
    EXPECT_TRUE(std::find(warmed.begin(), warmed.end(), name) != warmed.end()) << name << " is not warmed up";
  }

  GstEngine dropped(logs);  // destroyed while its warm-up may still run
  dropped.warmUp();
}

// A picture bigger than the session was declared for (the screen grew)
// raises the encoder's level: the stream goes on, the SPS tells the truth.
TEST_F(GstEngineTest, APictureAboveTheDeclaredLevelRaisesItRatherThanStoppingTheStream) {
  FrameRecorder frames;
  Peer host, pad;
  open(host);
  open(pad);
  ASSERT_TRUE(engine.setLargestVideoFrame({kWidth, kHeight}));
  auto source = factory->createVideoSource();
  ASSERT_TRUE(host.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
  SpsLevel sps(host.gst().pipeline());
  FramePusher pusher(source);
  pusher.show(i420Frame(200, 128, 128));
  negotiate(host, pad);
  EXPECT_NE(host.pc->localDescription()->sdp.find("profile-level-id=42e01f"), std::string::npos);
  {
    std::lock_guard lock(pad.observer.mutex);
    ASSERT_EQ(pad.observer.streams.size(), 1u);
    pad.observer.streams[0].videoTracks[0]->addSink(&frames);
  }
  ASSERT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 200, 128, 128); }, 10));
  EXPECT_EQ(sps.level(), 31);
  pusher.show(i420Frame(60, 128, 128, 1280, 800));  // 4000 macroblocks: level 3.2
  EXPECT_TRUE(waitFor([&] { return frames.sawColour(1280, 800, 60, 128, 128); }, 10)) << "the stream stopped";
  EXPECT_EQ(sps.level(), 32);
  EXPECT_TRUE(logs.hasMessage("a 1280x800 picture needs H.264 level 3.2: the stream leaves the declared 3.1"));
  host.pc->close();  // before the SPS probe goes
}

// A screen is sent only when it changes: the first picture after a quiet
// spell is decoded on its own, with no later packet to push it through.
TEST_F(GstEngineTest, APictureAfterAQuietSpellIsDecodedWithoutAnotherFollowingIt) {
  FrameRecorder frames;
  Peer host, pad;
  open(host);
  open(pad);
  auto source = factory->createVideoSource();
  ASSERT_TRUE(host.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
  negotiate(host, pad);
  {
    std::lock_guard lock(pad.observer.mutex);
    ASSERT_EQ(pad.observer.streams.size(), 1u);
    pad.observer.streams[0].videoTracks[0]->addSink(&frames);
  }
  {
    // A steady 30 fps first, from which the receiver could guess when packets come.
    FramePusher pusher(source);
    pusher.show(i420Frame(200, 128, 128));
    ASSERT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 200, 128, 128) && frames.calls > 15; }, 10));
  }
  waitFor([] { return false; }, 0.4);  // the quiet spell
  VideoCapturer(source).capture(i420Frame(60, 128, 128));
  EXPECT_TRUE(waitFor([&] { return frames.sawColour(kWidth, kHeight, 60, 128, 128); }, 2))
      << "the picture came only with a later one, or never";
  host.pc->close();
}

TEST_F(GstEngineTest, RefusedDescriptionsAndCandidatesBecomeEngineErrors) {
  Peer pad;
  open(pad);
  auto refused = [&](Task<void> task) {
    try {
      test::await(exec, std::move(task));
    } catch (const EngineError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  SessionDescription garbage{SdpType::offer, "not an sdp \x01\xff"};
  EXPECT_NE(refused(pad.pc->setRemoteDescription(garbage)), "");
  // Well-formed SDP without ICE credentials or a fingerprint.
  SessionDescription bare{SdpType::offer,
                          "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
                          "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\n"
                          "a=rtpmap:96 H264/90000\r\n"};
  EXPECT_NE(refused(pad.pc->setRemoteDescription(bare)), "");
  SessionDescription answer{SdpType::answer, bare.sdp};
  EXPECT_NE(refused(pad.pc->setRemoteDescription(answer)), "");  // no offer of ours to answer
  EXPECT_THROW(test::await(exec, pad.pc->createAnswer({})), EngineError);
  EXPECT_NE(refused(pad.pc->addIceCandidate({"candidate:1 1 UDP 1 1.2.3.4 99999 typ host", 0, std::nullopt})), "");
  EXPECT_NE(refused(pad.pc->addIceCandidate({"a=end-of-candidates", 0, std::nullopt})), "");
  EXPECT_EQ(pad.pc->signalingState(), SignalingState::stable);

  // A pad answering with the BUNDLE tag moved off the video (which would
  // abort the host inside webrtcbin) is refused.
  Peer host;
  test::await(exec, pad.pc->setRemoteDescription(hostWithOffer(host)));
  auto hostile = *test::await(exec, pad.pc->createAnswer({}));
  const auto group = hostile.sdp.find("a=group:BUNDLE video0 application1");
  ASSERT_NE(group, std::string::npos);
  hostile.sdp.replace(group, 34, "a=group:BUNDLE application1");
  hostile.sdp.replace(hostile.sdp.find("m=video 9"), 9, "m=video 0");
  EXPECT_NE(refused(host.pc->setRemoteDescription(hostile)), "");
  EXPECT_EQ(host.pc->signalingState(), SignalingState::haveLocalOffer);

  pad.pc->close();
  EXPECT_THROW(test::await(exec, pad.pc->createOffer({})), EngineError);
}

// Hostile or broken descriptions: a real offer and a real answer, each with
// one line missing, for every line. Each is taken or refused, never a crash.
TEST_F(GstEngineTest, DescriptionsMissingAnyOneLineAreTakenOrRefused) {
  Peer host, pad;
  const auto offer = hostWithOffer(host);
  open(pad);
  test::await(exec, pad.pc->setRemoteDescription(offer));
  const auto answer = *test::await(exec, pad.pc->createAnswer({}));
  int refused = 0;
  for (const SessionDescription& whole : {offer, answer}) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0, end; (end = whole.sdp.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
      lines.push_back(whole.sdp.substr(pos, end - pos + 2));
    }
    for (std::size_t drop = 0; drop < lines.size(); ++drop) {
      std::string text;
      for (std::size_t i = 0; i < lines.size(); ++i) text += i == drop ? "" : lines[i];
      Peer receiver;
      try {
        if (whole.type == SdpType::offer) {
          open(receiver);
          test::await(exec, receiver.pc->setRemoteDescription({SdpType::offer, text}));
          const auto reply = test::await(exec, receiver.pc->createAnswer({}));
          if (reply) test::await(exec, receiver.pc->setLocalDescription(*reply));
        } else {
          hostWithOffer(receiver);
          test::await(exec, receiver.pc->setRemoteDescription({SdpType::answer, text}));
        }
      } catch (const EngineError&) {
        ++refused;
      }
      receiver.pc->close();
    }
  }
  EXPECT_GT(refused, 0);
}

// coturn on a free loopback port, for the life of the test; a fixed user
// unless `auth` names another scheme.
class Coturn {
 public:
  explicit Coturn(std::vector<std::string> auth = {"--lt-cred-mech", "--user=orvane:p@ss:w/rd"}) {
    port_ = freePort();
    const std::string portArg = "--listening-port=" + std::to_string(port_);
    const std::string pidArg = "--pidfile=" + (dir_.path / "turn.pid").string();
    const std::string logArg = "--log-file=" + (dir_.path / "turn.log").string();
    std::vector<std::string> args{"turnserver", "-n", portArg, "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1",
                                  "--allow-loopback-peers", "--realm=orvane", "--no-tls", "--no-dtls", "--no-cli",
                                  pidArg, logArg, "--no-stdout-log"};
    args.insert(args.end(), auth.begin(), auth.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "turnserver", &quiet, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&quiet);
  }
  ~Coturn() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Accepts TCP connections.
  bool ready() const {
    for (int i = 0; pid_ > 0 && i < 100; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(std::uint16_t(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  int port() const { return port_; }

 private:
  static int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }
  test::TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// The candidate types of webrtcbin's selected pair, from its statistics.
std::pair<std::string, std::string> selectedPairTypes(GstElement* webrtc) {
  GstPromise* promise = gst_promise_new();
  g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
  gst_promise_wait(promise);
  const GstStructure* stats = gst_promise_get_reply(promise);
  auto field = [&](const gchar* id, const char* name) {
    const GValue* v = id ? gst_structure_get_value(stats, id) : nullptr;
    const GstStructure* s = v && GST_VALUE_HOLDS_STRUCTURE(v) ? gst_value_get_structure(v) : nullptr;
    const gchar* out = s ? gst_structure_get_string(s, name) : nullptr;
    return std::string(out ? out : "");
  };
  std::pair<std::string, std::string> types;
  for (int i = 0; stats && i < gst_structure_n_fields(stats); ++i) {
    const gchar* id = gst_structure_nth_field_name(stats, i);
    GstWebRTCStatsType type;
    const GstStructure* s = gst_value_get_structure(gst_structure_get_value(stats, id));
    if (gst_structure_get(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) &&
        type == GST_WEBRTC_STATS_CANDIDATE_PAIR) {
      types = {field(gst_structure_get_string(s, "local-candidate-id"), "candidate-type"),
               field(gst_structure_get_string(s, "remote-candidate-id"), "candidate-type")};
    }
  }
  gst_promise_unref(promise);
  return types;
}

// One connection for two checks: relay-only through TURN, then the pad's
// process dying without a word.
TEST_F(GstEngineTest, RelayOnlyConnectsThroughTurnAndAVanishedPadIsNoticedWithinTenSeconds) {
  Coturn turn;
  ASSERT_TRUE(turn.ready()) << "turnserver did not start";
  Configuration relayOnly;
  relayOnly.iceTransportPolicy = IceTransportPolicy::relay;
  relayOnly.iceServers = {{{"turn:127.0.0.1:" + std::to_string(turn.port()) + "?transport=tcp"}, "orvane", "p@ss:w/rd"}};
  Peer host, pad;
  open(host, relayOnly);
  open(pad, relayOnly);
  host.pc->createDataChannel("control", DataChannelInit{});
  auto source = factory->createVideoSource();
  ASSERT_TRUE(host.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
  FramePusher pusher(source);
  pusher.show(bgraFrame(0, 0, 255, 0));
  negotiate(host, pad);
  const auto local = host.pc->localDescription();
  ASSERT_TRUE(local);
  EXPECT_NE(local->sdp.find("typ relay"), std::string::npos);
  EXPECT_EQ(local->sdp.find("typ host"), std::string::npos);
  const auto [localType, remoteType] = selectedPairTypes(host.gst().webrtcbin());
  EXPECT_EQ(localType, "relay");
  EXPECT_EQ(remoteType, "relay");
  std::this_thread::sleep_for(std::chrono::seconds(1));  // RTCP has flowed

  // An owner that closes from inside the very callback that reports the loss.
  host.observer.onIce = [pc = host.pc.get()](IceConnectionState s) {
    if (s == IceConnectionState::disconnected || s == IceConnectionState::failed) pc->close();
  };
  gst_element_set_state(pad.gst().pipeline(), GST_STATE_NULL);  // the pad's process dies: nothing sent
  const auto vanished = Clock::now();
  const bool noticed = waitFor(
      [&] {
        return host.observer.saw(IceConnectionState::disconnected) || host.observer.saw(IceConnectionState::failed);
      },
      10);
  const double seconds = std::chrono::duration<double>(Clock::now() - vanished).count();
  EXPECT_TRUE(noticed) << "host still " << int(host.observer.lastIce()) << " after " << seconds << " s";
  RecordProperty("detection_seconds", std::to_string(seconds));
  // The pipeline still goes, on a thread of its own.
  EXPECT_TRUE(waitFor([&] { return host.observer.lastIce() == IceConnectionState::closed; }, 5));
  GstElement* pipeline = host.gst().pipeline();
  g_object_add_weak_pointer(G_OBJECT(pipeline), reinterpret_cast<gpointer*>(&pipeline));
  host.pc.reset();
  EXPECT_TRUE(waitFor([&] { return pipeline == nullptr; }, 5));
}


// The relay checks credentials the signalling server issues with the shared
// secret: fresh ones relay a session, expired ones are refused, so relay-only
// gathers nothing and never connects.
TEST_F(GstEngineTest, RelayOnlyWorksWithIssuedCredentialsAndNotWithExpiredOnes) {
  Coturn turn({"--use-auth-secret", "--static-auth-secret=north-wind"});
  ASSERT_TRUE(turn.ready()) << "turnserver did not start";
  const auto issuer = server::makeTurnIssuer(
      {{"turn:127.0.0.1:" + std::to_string(turn.port()) + "?transport=tcp"}, "north-wind", std::chrono::seconds(600)});
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
  auto relayOnly = [&](std::int64_t issuedAt) {
    Configuration configuration;
    configuration.iceTransportPolicy = IceTransportPolicy::relay;
    const IceServerInfo issued = issuer("ann", issuedAt)->servers.at(0);
    configuration.iceServers = {{issued.urls, issued.username, issued.credential}};
    return configuration;
  };
  // The same session twice but for the host's credentials; true once ICE is up.
  auto connects = [&](Peer& host, Peer& pad, std::int64_t hostIssuedAt, double seconds) {
    open(host, relayOnly(hostIssuedAt));
    open(pad, relayOnly(now));
    host.pc->createDataChannel("control", DataChannelInit{});
    auto source = factory->createVideoSource();
    EXPECT_TRUE(host.pc->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"}));
    FramePusher pusher(source);
    pusher.show(bgraFrame(0, 0, 255, 0));
    wire(host, pad);
    wire(pad, host);
    const auto offer = test::await(exec, host.pc->createOffer({{{"OfferToReceiveVideo", "true"}}, {}}));
    test::await(exec, host.pc->setLocalDescription(*offer));
    test::await(exec, pad.pc->setRemoteDescription(*offer));
    const auto answer = test::await(exec, pad.pc->createAnswer({}));
    test::await(exec, pad.pc->setLocalDescription(*answer));
    test::await(exec, host.pc->setRemoteDescription(*answer));
    return waitFor([&] { return host.observer.up() && pad.observer.up(); }, seconds);
  };
  const auto started = Clock::now();
  {
    Peer host, pad;
    ASSERT_TRUE(connects(host, pad, now, 10)) << "fresh credentials did not connect";
    EXPECT_EQ(selectedPairTypes(host.gst().webrtcbin()), (std::pair<std::string, std::string>{"relay", "relay"}));
    host.pc->close();
    pad.pc->close();
  }
  const double freshSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  {
    // Expired 100 s ago; the pad's are good, so only the host's refusal stands in the way.
    Peer host, pad;
    EXPECT_FALSE(connects(host, pad, now - 700, 3)) << "connected with expired credentials";
    EXPECT_EQ(host.pc->localDescription()->sdp.find("typ relay"), std::string::npos);
    // The pad did get its relay: the refusal is the expiry, not the relay being down.
    EXPECT_NE(pad.pc->localDescription()->sdp.find("typ relay"), std::string::npos);
    host.pc->close();
    pad.pc->close();
  }
  RecordProperty("fresh_connect_seconds", std::to_string(freshSeconds));
}

}  // namespace
}  // namespace orvane::rtc
