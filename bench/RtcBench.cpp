// bench_rtc: pushed frame → decoded frame through the GStreamer engine, a
// host and a pad connection in one process over loopback. Per size: sustained
// decoded fps, latency p50/p95 (conversion, x264 encode, RTP/SRTP/UDP,
// jitter buffer, decode), and the process's CPU as a share of all cores.
// Each frame carries its number in a row of black/white 16×16 blocks, read
// back from the decoded picture.
//
//   bench_rtc [--seconds S] [--fps N] [--size WxH]... [--i420] [--scroll]
//   (default: 10 s at 30 fps for 1920x1080 and 1280x800, BGRA like capture;
//   a bar dragged across a still desktop, or with --scroll the whole picture
//   moving every frame, the encoder's worst case)
//
//   bench_rtc --first-offer [RUNS]
//   the first connection of a process: from the request (factory ready) to
//   the offer set, and to ICE connected with a pad, cold and after the
//   engine's warm-up; each run a fresh process (default 5 of each)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gst/webrtc/webrtc.h>

#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/peer/gst/GstPeerConnection.h"
#include "OrvaneCore/peer/gst/RtpStats.h"
#include "OrvaneCore/runtime/ManualExecutor.h"

namespace {

using namespace orvane;
using namespace orvane::rtc;
using Clock = std::chrono::steady_clock;

constexpr int kBits = 16;
constexpr int kBlock = 16;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// RTP bytes the connection has sent, from webrtcbin's statistics.
std::uint64_t bytesSent(PeerConnection& pc) {
  GstPromise* promise = gst_promise_new();
  g_signal_emit_by_name(static_cast<GstPeerConnection&>(pc).webrtcbin(), "get-stats", nullptr, promise);
  gst_promise_wait(promise);
  const GstStructure* stats = gst_promise_get_reply(promise);
  const std::uint64_t total = rtc::sumRtpBytes(stats, GST_WEBRTC_STATS_OUTBOUND_RTP, "bytes-sent");
  gst_promise_unref(promise);
  return total;
}

struct Observer final : PeerConnectionObserver {
  std::function<void(const IceCandidate&)> forward;
  std::atomic<int> ice{0};
  std::mutex mutex;
  std::vector<MediaStream> streams;
  void onSignalingStateChange(SignalingState) override {}
  void onIceConnectionStateChange(IceConnectionState s) override { ice = int(s); }
  void onIceGatheringStateChange(IceGatheringState) override {}
  void onIceCandidate(const IceCandidate& c) override { forward(c); }
  void onDataChannel(std::shared_ptr<DataChannel>) override {}
  void onAddStream(const MediaStream& s) override {
    std::lock_guard lock(mutex);
    streams.push_back(s);
  }
  bool up() const { return ice == int(IceConnectionState::connected) || ice == int(IceConnectionState::completed); }
};

// Reads the frame number and records its latency, first sighting only.
struct Meter final : VideoSink {
  std::mutex mutex;
  std::map<unsigned, Clock::time_point> pushed;
  std::vector<double> latenciesMs;
  std::atomic<int> frames{0};
  bool measuring = false;

  void onFrame(const VideoFrame& f) override {
    const auto now = Clock::now();
    unsigned number = 0;
    for (int bit = 0; bit < kBits; ++bit) {
      const int x = bit * kBlock + kBlock / 2, y = kBlock / 2;
      if (x < f.width && f.planes[0][y * f.strides[0] + x] > 128) number |= 1u << bit;
    }
    ++frames;
    std::lock_guard lock(mutex);
    const auto it = pushed.find(number);
    if (it == pushed.end()) return;
    if (measuring) latenciesMs.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
    pushed.erase(pushed.begin(), std::next(it));
  }
};

// Desktop-like pictures: a gradient with a bar sweeping across, as a window
// being dragged, plus the frame number. Only what changed is redrawn, as a
// damage-driven capture would. A ring of buffers, since I420 frames are held
// by the encoder without a copy.
class Pictures {
 public:
  Pictures(int width, int height, bool i420, bool scroll)
      : width_(width), height_(height), i420_(i420), scroll_(scroll) {
    for (auto& slot : ring_) {
      slot.pixels = std::make_shared<std::vector<std::uint8_t>>(i420 ? width * height * 3 / 2 : width * height * 4, 128);
      paint(*slot.pixels, 0, width_, 0, height_, -1, 0);
    }
  }
  VideoFrame next(unsigned number) {
    auto slot = std::find_if(ring_.begin(), ring_.end(), [](const Slot& s) { return s.pixels.use_count() == 1; });
    if (slot == ring_.end()) return {};
    auto& pixels = *slot->pixels;
    const int bar = int(number * 24 % unsigned(std::max(1, width_ - kBar)));
    if (scroll_) {
      shift_ = int(number * 4);
      paint(pixels, 0, width_, 0, height_, -1, number);
    } else if (slot->bar >= 0) {
      paint(pixels, slot->bar, slot->bar + kBar, height_ / 4, height_ * 3 / 4, -1, number);
    }
    paint(pixels, bar, bar + kBar, height_ / 4, height_ * 3 / 4, bar, number);
    paint(pixels, 0, kBits * kBlock, 0, kBlock, -1, number);
    slot->bar = bar;
    VideoFrame f;
    f.width = width_;
    f.height = height_;
    f.owner = slot->pixels;
    if (i420_) {
      f.format = VideoFrame::Format::i420;
      f.planes = {pixels.data(), pixels.data() + width_ * height_, pixels.data() + width_ * height_ * 5 / 4};
      f.strides = {width_, width_ / 2, width_ / 2};
    } else {
      f.format = VideoFrame::Format::bgra;
      f.planes[0] = pixels.data();
      f.strides[0] = width_ * 4;
    }
    return f;
  }

 private:
  static constexpr int kBar = 200;
  struct Slot {
    std::shared_ptr<std::vector<std::uint8_t>> pixels;
    int bar = -1;
  };

  void paint(std::vector<std::uint8_t>& pixels, int x0, int x1, int y0, int y1, int bar, unsigned number) const {
    x1 = std::min(x1, width_);
    y1 = std::min(y1, height_);
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        std::uint8_t luma = std::uint8_t(((x * 7) ^ (y + shift_) * 3) % 200 + 20);
        if (bar >= 0) luma = 235;
        if (y < kBlock && x < kBits * kBlock) luma = (number >> (x / kBlock)) & 1 ? 255 : 0;
        if (i420_) {
          pixels[std::size_t(y) * width_ + x] = luma;
        } else {
          std::uint8_t* p = &pixels[(std::size_t(y) * width_ + x) * 4];
          p[0] = p[1] = p[2] = luma;
          p[3] = 255;
        }
      }
    }
  }

  int width_, height_;
  bool i420_, scroll_;
  int shift_ = 0;
  std::array<Slot, 8> ring_;
};

template <typename T>
T run(ManualExecutor& exec, Task<T> task) {
  std::optional<T> value;
  std::exception_ptr error;
  TaskHandle handle = spawn(exec, [&]() -> Task<void> {
    try {
      value.emplace(co_await std::move(task));
    } catch (...) {
      error = std::current_exception();
    }
  });
  exec.runUntil([&] { return !handle.running(); }, Seconds(10));
  if (error) std::rethrow_exception(error);
  if (!value) throw std::runtime_error("timed out");
  return std::move(*value);
}

Task<bool> done(Task<void> task) {
  co_await std::move(task);
  co_return true;
}

struct Result {
  double fps = 0, p50 = 0, p95 = 0, cpu = 0, firstFrameS = 0, mbps = 0;
  int decoded = 0;
};

Result measure(PeerConnectionFactory& factory, int width, int height, bool i420, bool scroll, int fps, double seconds) {
  ManualExecutor exec;
  Observer hostObserver, padObserver;
  auto host = factory.createPeerConnection({}, {}, &hostObserver);
  auto pad = factory.createPeerConnection({}, {}, &padObserver);
  auto wire = [&](Observer& from, std::shared_ptr<PeerConnection> to) {
    from.forward = [&exec, to](const IceCandidate& c) {
      exec.post([&exec, to, c] { spawnDetached(exec, [to, c]() -> Task<void> { co_await to->addIceCandidate(c); }); });
    };
  };
  wire(hostObserver, pad);
  wire(padObserver, host);
  auto source = factory.createVideoSource();
  auto sender = host->addTrack(factory.createVideoTrack(source, "video0"), {"stream0"});
  RtpParameters parameters = sender->parameters();
  parameters.degradationPreference = DegradationPreference::disabled;
  parameters.encodings[0].minBitrateBps = 8'000'000;
  parameters.encodings[0].maxBitrateBps = 12'000'000;
  sender->setParameters(parameters);
  host->createDataChannel("control", {});

  Meter meter;
  Pictures pictures(width, height, i420, scroll);
  VideoCapturer capturer(source);
  std::atomic<bool> stop{false};
  std::thread pusher([&] {
    auto next = Clock::now();
    for (unsigned number = 0; !stop; ++number) {
      VideoFrame frame = pictures.next(number % (1u << kBits));
      if (frame.width) {
        {
          std::lock_guard lock(meter.mutex);
          meter.pushed[number % (1u << kBits)] = Clock::now();
          if (meter.pushed.size() > 300) meter.pushed.erase(meter.pushed.begin());
        }
        capturer.capture(frame);
      }
      next += std::chrono::microseconds(1'000'000 / fps);
      std::this_thread::sleep_until(next);
    }
  });

  const auto start = Clock::now();
  auto offer = run(exec, host->createOffer({}));
  run(exec, done(host->setLocalDescription(*offer)));
  run(exec, done(pad->setRemoteDescription(*offer)));
  auto answer = run(exec, pad->createAnswer({}));
  run(exec, done(pad->setLocalDescription(*answer)));
  run(exec, done(host->setRemoteDescription(*answer)));
  exec.runUntil([&] { std::lock_guard l(padObserver.mutex); return !padObserver.streams.empty(); }, Seconds(10));
  Result result;
  {
    std::lock_guard lock(padObserver.mutex);
    if (!padObserver.streams.empty()) padObserver.streams[0].videoTracks[0]->addSink(&meter);
  }
  exec.runUntil([&] { return meter.frames > 0; }, Seconds(10));
  result.firstFrameS = std::chrono::duration<double>(Clock::now() - start).count();
  exec.runUntil([] { return false; }, Seconds(2));  // warm-up

  {
    std::lock_guard lock(meter.mutex);
    meter.measuring = true;
  }
  const int frames0 = meter.frames;
  const double cpu0 = cpuSeconds();
  const std::uint64_t bytes0 = bytesSent(*host);
  const auto t0 = Clock::now();
  exec.runUntil([] { return false; }, Seconds(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  result.mbps = double(bytesSent(*host) - bytes0) * 8 / wall / 1e6;
  result.cpu = (cpuSeconds() - cpu0) / wall / std::thread::hardware_concurrency() * 100;
  result.decoded = meter.frames - frames0;
  result.fps = result.decoded / wall;
  stop = true;
  pusher.join();
  host->close();
  pad->close();
  std::vector<double> l;
  {
    std::lock_guard lock(meter.mutex);
    l = meter.latenciesMs;
  }
  if (!l.empty()) {
    std::sort(l.begin(), l.end());
    result.p50 = l[l.size() / 2];
    result.p95 = l[std::min(l.size() - 1, l.size() * 95 / 100)];
  }
  return result;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One process's first connection; prints "<offer ms> <connected ms>
// <warm-up ms>".
int firstConnection(bool warm) {
  CapturingLogSink quiet;
  GstEngine engine(quiet);
  auto factory = engine.makeFactory();
  double warmUpMs = 0;
  if (warm) {
    // As at the host's launch; the request comes once it is done.
    const auto start = Clock::now();
    engine.warmUp();
    while (!engine.warmUpFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    warmUpMs = msSince(start);
  }
  ManualExecutor exec;
  Observer hostObserver, padObserver;
  const auto start = Clock::now();
  auto host = factory->createPeerConnection({}, {}, &hostObserver);
  auto source = factory->createVideoSource();
  host->addTrack(factory->createVideoTrack(source, "video0"), {"stream0"});
  host->createDataChannel("control", {});
  auto offer = run(exec, host->createOffer({}));
  run(exec, done(host->setLocalDescription(*offer)));
  const double offerMs = msSince(start);
  auto pad = factory->createPeerConnection({}, {}, &padObserver);
  auto wire = [&](Observer& from, std::shared_ptr<PeerConnection> to) {
    from.forward = [&exec, to](const IceCandidate& c) {
      exec.post([&exec, to, c] { spawnDetached(exec, [to, c]() -> Task<void> { co_await to->addIceCandidate(c); }); });
    };
  };
  wire(hostObserver, pad);
  wire(padObserver, host);
  run(exec, done(pad->setRemoteDescription(*offer)));
  auto answer = run(exec, pad->createAnswer({}));
  run(exec, done(pad->setLocalDescription(*answer)));
  run(exec, done(host->setRemoteDescription(*answer)));
  const bool up = exec.runUntil([&] { return hostObserver.up() && padObserver.up(); }, Seconds(10));
  const double connectedMs = msSince(start);
  host->close();
  pad->close();
  std::printf("%.1f %.1f %.1f\n", offerMs, up ? connectedMs : -1.0, warmUpMs);
  return up ? 0 : 1;
}

struct Spread {
  std::vector<double> values;
  std::string text() {
    if (values.empty()) return "-";
    std::sort(values.begin(), values.end());
    char out[96];
    std::snprintf(out, sizeof out, "median %.0f ms (%.0f-%.0f)", values[values.size() / 2], values.front(),
                  values.back());
    return out;
  }
};

int firstConnections(int runs) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
  std::printf("first connection of a fresh process, %d runs each\n", runs);
  bool ok = true;
  for (const bool warm : {false, true}) {
    Spread offer, connected, warmUp;
    for (int i = 0; i < runs; ++i) {
      const std::string command = std::string(self) + " --first-offer-child " + (warm ? "warm" : "cold");
      FILE* child = popen(command.c_str(), "r");
      double o = 0, c = 0, w = 0;
      const bool read = child && std::fscanf(child, "%lf %lf %lf", &o, &c, &w) == 3;
      const bool exited = child && pclose(child) == 0;
      if (!read || !exited) {
        ok = false;
        continue;
      }
      offer.values.push_back(o);
      connected.values.push_back(c);
      warmUp.values.push_back(w);
    }
    std::printf("%s: request to offer %s, to ICE connected %s", warm ? "warmed" : "cold", offer.text().c_str(),
                connected.text().c_str());
    if (warm) std::printf(", warm-up itself %s", warmUp.text().c_str());
    std::printf("\n");
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--first-offer-child") {
    return firstConnection(std::string(argv[2]) == "warm");
  }
  if (argc >= 2 && std::string(argv[1]) == "--first-offer") return firstConnections(argc > 2 ? std::atoi(argv[2]) : 5);
  double seconds = 10;
  int fps = 30;
  bool i420 = false, scroll = false;
  std::vector<std::pair<int, int>> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--fps" && i + 1 < argc) {
      fps = std::atoi(argv[++i]);
    } else if (arg == "--size" && i + 1 < argc) {
      int w = 0, h = 0;
      if (std::sscanf(argv[++i], "%dx%d", &w, &h) == 2) sizes.emplace_back(w, h);
    } else if (arg == "--i420") {
      i420 = true;
    } else if (arg == "--scroll") {
      scroll = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_rtc [--seconds S] [--fps N] [--size WxH]... [--i420] [--scroll]\n"
                   "       bench_rtc --first-offer [RUNS]\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {{1920, 1080}, {1280, 800}};
  orvane::CapturingLogSink quiet;
  orvane::rtc::GstEngine engine(quiet);
  auto factory = engine.makeFactory();
  std::printf("%u cores, %d fps pushed, %s frames, %s, %.0f s per size\n", std::thread::hardware_concurrency(), fps,
              i420 ? "I420" : "BGRA", scroll ? "whole picture moving" : "bar over a still desktop", seconds);
  bool ok = true;
  for (const auto& [w, h] : sizes) {
    const auto r = measure(*factory, w, h, i420, scroll, fps, seconds);
    std::printf(
        "%dx%d: %.1f fps decoded, latency p50 %.1f ms, p95 %.1f ms, CPU %.0f %% of all cores, %.1f Mbit/s sent, "
        "first frame %.2f s after the offer\n",
        w, h, r.fps, r.p50, r.p95, r.cpu, r.mbps, r.firstFrameS);
    ok = ok && r.decoded > 0 && r.p50 > 0;
  }
  return ok ? 0 : 1;
}
