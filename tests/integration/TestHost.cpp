// orvane_test_host: the host role of the shared core, stripped to what a
// two-process test needs. It signs in to a signalling server, answers every
// connection request with a fresh peer connection that streams a moving test
// picture, and reports on standard output, one line each:
//   connectionRequested | onConnected | control: JSON | peerGone |
//   onDisconnected T (T: seconds of uptime)
// Every received control event is answered with windowFocused whose title is
// "echo " and the event's JSON. Ends on SIGTERM or SIGINT.
//
//   orvane_test_host --server URL --token TOKEN --device-id ID [--name NAME]
//                    [--size WxH] [--fps N]

#include <glib-unix.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OrvaneCore/peer/PeerConnectionManager.h"
#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneCore/signaling/factory/SignalingFactory.h"

#include "OrvaneCore/peer/gst/GLibLeakSuppressions.h"

namespace {

using namespace orvane;

void out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// A grey gradient with a white bar sliding across it, pushed at a steady
// rate from a thread of its own as a capture would.
class MovingPicture {
 public:
  MovingPicture(PeerConnectionManager& manager, int width, int height, int fps)
      : manager_(manager), width_(width), height_(height), fps_(fps) {
    thread_ = std::thread([this] { loop(); });
  }
  ~MovingPicture() {
    stop_ = true;
    thread_.join();
  }

 private:
  void loop() {
    auto next = std::chrono::steady_clock::now();
    for (int number = 0; !stop_; ++number) {
      auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width_) * height_ * 4);
      const int bar = (number * 8) % width_;
      for (int y = 0; y < height_; ++y) {
        std::uint8_t* row = pixels->data() + std::size_t(y) * width_ * 4;
        for (int x = 0; x < width_; ++x) {
          const bool inBar = x >= bar && x < bar + width_ / 10;
          const auto luma = std::uint8_t(inBar ? 255 : 40 + (x + y) * 150 / (width_ + height_));
          row[x * 4] = row[x * 4 + 1] = row[x * 4 + 2] = luma;
          row[x * 4 + 3] = 255;
        }
      }
      rtc::VideoFrame frame;
      frame.format = rtc::VideoFrame::Format::bgra;
      frame.width = width_;
      frame.height = height_;
      frame.planes[0] = pixels->data();
      frame.strides[0] = width_ * 4;
      frame.owner = pixels;
      frame.timestampNs = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
      manager_.pushVideoFrame(frame);
      next += std::chrono::microseconds(1'000'000 / fps_);
      std::this_thread::sleep_until(next);
    }
  }

  PeerConnectionManager& manager_;
  const int width_, height_, fps_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Args {
  std::string server, token, deviceId, name = "Test host";
  int width = 640, height = 360, fps = 30;
};

bool parse(int argc, char** argv, Args& args) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--server") {
      args.server = value;
    } else if (name == "--token") {
      args.token = value;
    } else if (name == "--device-id") {
      args.deviceId = value;
    } else if (name == "--name") {
      args.name = value;
    } else if (name == "--size") {
      if (std::sscanf(value.c_str(), "%dx%d", &args.width, &args.height) != 2) return false;
    } else if (name == "--fps") {
      args.fps = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !args.server.empty() && !args.token.empty() && !args.deviceId.empty() && args.width > 0 &&
         args.height > 0 && args.fps > 0 && args.fps <= 120;
}

int quit(void* exec) {
  static_cast<GLibExecutor*>(exec)->quit();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  const auto url = parse(argc, argv, args) ? Url::parse(args.server) : std::nullopt;
  if (!url) {
    std::fprintf(stderr,
                 "usage: orvane_test_host --server URL --token TOKEN --device-id ID [--name NAME] [--size WxH] "
                 "[--fps N]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  SystemClock clock;
  GLibExecutor exec(clock);
  rtc::GstEngine engine;

  BuiltSignaling built = SignalingFactory::make(SignalingBackend::webSocket, SignalingRole::mac, args.deviceId,
                                                args.name, *url, args.token, exec);
  auto service = built.service;
  // No STUN or TURN: the test's peers share this machine.
  auto manager = PeerConnectionManager::create(SignalingRole::mac, service, std::vector<rtc::IceServer>{},
                                               built.trickle, false, engine, exec);
  TaskHandle attempt;
  bool up = false;  // "closed" after our own disconnect() is no second loss
  manager->onConnected = [&] {
    if (std::exchange(up, true)) return;  // connected, then completed
    out("onConnected");
    manager->sendControlEvent(events::PeerVersion{1, "test"});
  };
  manager->onDisconnected = [&] {
    if (!std::exchange(up, false)) return;
    char line[64];
    std::snprintf(line, sizeof line, "onDisconnected %.3f", clock.uptime());
    out(line);
    manager->disconnect();
    spawnDetached(exec, [service]() -> Task<void> { co_await service->resetForNextSession(); });
  };
  manager->onControlEvent = [&](const ControlEvent& event) {
    const std::string json = encodeControlEvent(event).value_or("?");
    out("control: " + json);
    manager->sendControlEvent(events::WindowFocused{"echo " + json, "orvane_test_host"});
  };
  service->onConnectionRequested = [&] {
    exec.post([&] {
      out("connectionRequested");
      attempt = spawn(exec, [manager]() -> Task<void> { co_await manager->start(); });
    });
  };
  service->onPeerGone = [&] { exec.post([] { out("peerGone"); }); };

  service->start();
  int status = 0;
  {
    MovingPicture picture(*manager, args.width, args.height, args.fps);
    const unsigned sigterm = g_unix_signal_add(SIGTERM, &quit, &exec);
    const unsigned sigint = g_unix_signal_add(SIGINT, &quit, &exec);
    out("started");
    exec.run();
    g_source_remove(sigterm);
    g_source_remove(sigint);
  }
  attempt.cancel();
  manager->disconnect();
  service->stop();
  manager.reset();
  return status;
}
