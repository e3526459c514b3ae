// Two peer-connection managers, host and pad, on the real engine in one
// process, their signalling passed in memory: what the fake engine's tests
// assume of an engine holds for webrtcbin.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include <gst/gst.h>

#include "OrvaneCore/peer/PeerConnectionManager.h"
#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "tests/OrvaneCore/peer/gst/Leftovers.h"
#include "tests/support/Await.h"

namespace orvane {
namespace {

// One side's signalling: what it sends lands on the other side's onMessage.
// With `candidatesFirst`, a description sent before any candidate waits for
// the first candidate and goes right after it, so the peer always meets a
// candidate before the description it belongs to.
class MemorySignaling final : public SignalingServiceProtocol {
 public:
  void start() override {}
  void stop() override {}
  Task<std::vector<HostInfo>> listHosts() override { co_return std::vector<HostInfo>(); }
  Task<void> sendConnectionRequest(HostInfo) override { co_return; }
  Task<void> sendOffer(std::string sdp) override {
    forward(SignalingMessage::Offer{std::move(sdp)});
    co_return;
  }
  Task<void> sendAnswer(std::string sdp) override {
    forward(SignalingMessage::Answer{std::move(sdp)});
    co_return;
  }
  Task<void> sendICECandidate(ICECandidateInfo candidate) override {
    forward(SignalingMessage::IceCandidate{std::move(candidate)});
    co_return;
  }
  Task<void> clearSession() override { co_return; }
  Task<void> resetForNextSession() override { co_return; }

  MemorySignaling* peer = nullptr;
  bool candidatesFirst = false;
  int candidatesSent = 0;

 private:
  void forward(SignalingMessage message) {
    const bool isCandidate = message.type() == SignalingMessage::MsgType::iceCandidate;
    if (!isCandidate && candidatesFirst && candidatesSent == 0) {
      held_ = std::move(message);
      return;
    }
    deliver(message);
    if (isCandidate && ++candidatesSent == 1 && held_) {
      deliver(*held_);
      held_.reset();
    }
  }
  void deliver(const SignalingMessage& message) {
    if (peer && peer->onMessage) peer->onMessage(message);
  }
  std::optional<SignalingMessage> held_;
};

using test::socketCount;
using test::threadNames;
using namespace std::chrono_literals;

// Decoded frames at the pad.
struct FrameCounter final : rtc::VideoSink {
  std::mutex mutex;
  int frames = 0;
  int width = 0, height = 0;
  int centreLuma = -1;
  void onFrame(const rtc::VideoFrame& f) override {
    std::lock_guard lock(mutex);
    ++frames;
    width = f.width;
    height = f.height;
    centreLuma = f.planes[0][(f.height / 2) * f.strides[0] + f.width / 2];
  }
  int count() {
    std::lock_guard lock(mutex);
    return frames;
  }
};

// A mid-grey BGRA picture pushed at 30 fps through the host manager, as its
// capture would. Must go before the manager does.
class Pusher {
 public:
  Pusher(PeerConnectionManager& manager, int width, int height) {
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4, 160);
    rtc::VideoFrame frame;
    frame.format = rtc::VideoFrame::Format::bgra;
    frame.width = width;
    frame.height = height;
    frame.planes[0] = pixels->data();
    frame.strides[0] = width * 4;
    frame.owner = pixels;
    thread_ = std::thread([this, &manager, frame] {
      while (!stop_) {
        manager.pushVideoFrame(frame);
        std::this_thread::sleep_for(33ms);
      }
    });
  }
  ~Pusher() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ManagerOverGst : public ::testing::Test {
 protected:
  struct Side {
    std::shared_ptr<MemorySignaling> signaling = std::make_shared<MemorySignaling>();
    std::shared_ptr<PeerConnectionManager> manager;
    std::shared_ptr<rtc::VideoTrack> remoteTrack;
    std::vector<ControlEvent> received;
    int connected = 0, disconnected = 0;
  };

  void make(Side& side, SignalingRole role) {
    // No STUN or TURN: the peers meet over this machine's own addresses.
    side.manager = PeerConnectionManager::create(role, side.signaling, std::vector<rtc::IceServer>{}, true, false,
                                                 engine, exec, logs);
    side.manager->onConnected = [&side] { ++side.connected; };
    side.manager->onDisconnected = [&side] { ++side.disconnected; };
    side.manager->onControlEvent = [&side](const ControlEvent& event) { side.received.push_back(event); };
    side.manager->onRemoteVideoTrack = [&side](std::shared_ptr<rtc::VideoTrack> track) { side.remoteTrack = track; };
  }

  void pair(bool candidatesFirst) {
    make(host, SignalingRole::mac);
    make(pad, SignalingRole::pad);
    host.signaling->peer = pad.signaling.get();
    pad.signaling->peer = host.signaling.get();
    host.signaling->candidatesFirst = candidatesFirst;
    pad.signaling->candidatesFirst = candidatesFirst;
  }

  void connect() {
    // As the host does at launch: the first connection then loads no plugin
    // and makes no DTLS key on the main executor.
    engine.warmUp();
    ASSERT_TRUE(waitFor([&] { return engine.warmUpFinished(); }, 20));
    test::await(exec, pad.manager->start());
    test::await(exec, host.manager->start(), Seconds(10));
    ASSERT_TRUE(waitFor([&] { return host.connected > 0 && pad.connected > 0; }, 10)) << "ICE did not connect";
  }

  bool waitFor(const std::function<bool()>& done, double seconds) { return exec.runUntil(done, Seconds(seconds)); }
  long logged(std::string_view prefix) const {
    long n = 0;
    for (const auto& m : logs.messages()) n += m.starts_with(prefix);
    return n;
  }

  // Closing once blocked for the pipeline to stop; 50 ms tells that from a busy machine's scheduling.
  ManualExecutor exec{nullptr, Seconds(std::max(0.05, StallMonitor::kDefaultThreshold.count()))};
  CapturingLogSink logs;
  rtc::GstEngine engine{logs};
  Side host, pad;
};

TEST_F(ManagerOverGst, HostAndPadManagersCarryVideoAndControlEventsBothWaysAcrossTwoSessions) {
  const auto threadsBefore = threadNames();
  const int socketsBefore = socketCount();
  FrameCounter frames;
  {
    pair(true);
    // Queued before any connection exists: delivered, in order, once the
    // pad's channel opens.
    host.manager->sendControlEvent(events::PeerVersion{7, "1.0"});
    host.manager->sendControlEvent(events::TextFieldFocused{true});
    pad.manager->sendControlEvent(events::PadScreenInfo{1024, 768});
    Pusher pusher(*host.manager, 640, 360);
    connect();

    ASSERT_TRUE(waitFor([&] { return pad.remoteTrack != nullptr; }, 5));
    pad.remoteTrack->addSink(&frames);
    ASSERT_TRUE(waitFor([&] { return frames.count() >= 10; }, 5)) << frames.count() << " frames decoded";
    {
      std::lock_guard lock(frames.mutex);
      EXPECT_EQ(frames.width, 640);
      EXPECT_EQ(frames.height, 360);
      EXPECT_NEAR(frames.centreLuma, 153, 8);  // BGRA 160 grey in limited-range luma
    }

    // Candidates met before the description were held, then applied.
    EXPECT_EQ(logged("[PCM:pad] applying "), 1);
    EXPECT_EQ(logged("[PCM:mac] applying "), 1);
    EXPECT_EQ(logged("[PCM:pad] addICECandidate: FAILED"), 0);
    EXPECT_EQ(logged("[PCM:mac] addICECandidate: FAILED"), 0);
    EXPECT_GE(host.signaling->candidatesSent, 1);
    EXPECT_GE(pad.signaling->candidatesSent, 1);

    const std::vector<ControlEvent> early{events::PeerVersion{7, "1.0"}, events::TextFieldFocused{true}};
    ASSERT_TRUE(waitFor([&] { return pad.received.size() >= 2; }, 5));
    EXPECT_EQ(pad.received, early);
    EXPECT_EQ(logged("[PCM:mac] flushing 2 buffered control event(s)"), 1);
    ASSERT_TRUE(waitFor([&] { return !host.received.empty(); }, 5));
    EXPECT_EQ(host.received.front(), ControlEvent(events::PadScreenInfo{1024, 768}));
    EXPECT_EQ(logged("[PCM:pad] flushing 1 buffered control event(s)"), 1);
    host.received.clear();

    pad.manager->sendControlEvent(events::MouseMoved{0.25, 0.75});
    pad.manager->sendControlEvent(events::TypeText{"h\u00e9llo"});
    host.manager->sendControlEvent(events::LocalControlActive{true});
    ASSERT_TRUE(waitFor([&] { return host.received.size() >= 2 && pad.received.size() >= 3; }, 5));
    EXPECT_EQ(host.received, (std::vector<ControlEvent>{events::MouseMoved{0.25, 0.75}, events::TypeText{"h\u00e9llo"}}));
    EXPECT_EQ(pad.received.back(), ControlEvent(events::LocalControlActive{true}));

    // The host ends the session: its own close is reported, and the pad,
    // which loses its peer, closes its side too.
    pusher.stop();
    pad.remoteTrack->removeSink(&frames);
    pad.remoteTrack.reset();
    // Closing never holds the main executor: the pipelines stop elsewhere.
    // (Making a connection still takes 15-30 ms of it, counted apart.)
    const auto stallsBeforeClosing = exec.stalls();
    exec.post([&] {
      host.manager->disconnect();
      pad.manager->disconnect();
    });
    exec.runUntilIdle();
    EXPECT_EQ(exec.stalls(), stallsBeforeClosing);
    EXPECT_EQ(host.disconnected, 1);
    EXPECT_GE(pad.disconnected, 1);

    // Sent while no channel exists: it waits for the next session's channel.
    host.manager->sendControlEvent(events::CaptureStalled{true});
    pad.received.clear();
    host.connected = pad.connected = 0;
    connect();
    ASSERT_TRUE(waitFor([&] { return !pad.received.empty(); }, 5));
    EXPECT_EQ(pad.received, std::vector<ControlEvent>{events::CaptureStalled{true}});
    const auto stallsBeforeEnding = exec.stalls();
    exec.post([&] {
      host.manager->disconnect();
      pad.manager->disconnect();
      host.manager.reset();
      pad.manager.reset();
    });
    exec.runUntilIdle();
    EXPECT_EQ(exec.stalls(), stallsBeforeEnding);
  }
  // No pipeline, thread or socket of either connection stays behind (GLib
  // keeps idle pool threads for reuse; they are not the engine's). What an
  // earlier test was still winding down may go meanwhile.
  EXPECT_TRUE(waitFor(
      [&] {
        g_thread_pool_stop_unused_threads();
        const auto threads = threadNames();
        return std::includes(threadsBefore.begin(), threadsBefore.end(), threads.begin(), threads.end()) &&
               socketCount() <= socketsBefore;
      },
      5))
      << threadNames().size() << " threads (before: " << threadsBefore.size() << "), " << socketCount()
      << " sockets (before: " << socketsBefore << ")";
}

}  // namespace
}  // namespace orvane
