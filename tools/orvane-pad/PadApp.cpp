#include "tools/orvane-pad/PadApp.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/signaling/factory/SignalingFactory.h"
#include "OrvaneCore/signaling/websocket/WebSocketSignalingService.h"
#include "tools/orvane-pad/PngWriter.h"

namespace orvane::pad {

namespace {

void say(const std::string& line) {
  std::fprintf(stderr, "orvane-pad: %s\n", line.c_str());
  std::fflush(stderr);
}

void printLine(FILE* to, const std::string& line) {
  std::fputs(line.c_str(), to);
  std::fputc('\n', to);
  std::fflush(to);
}

constexpr double kHostPollSeconds = 0.5;
constexpr double kReportSeconds = 1.0;
constexpr double kStatsLeadSeconds = 0.2;
constexpr std::int64_t kMaxScreenSide = 1 << 15;

}  // namespace

// What the transport's own thread saw of the sign-in: a close before any
// frame (the server was unreachable, or answered a bad token's upgrade with
// 401) or an error frame first (a hello that does not match the token's
// device) is a refusal; any other first frame means we are in.
struct PadApp::SignInWatch {
  std::mutex mutex;
  bool answered = false;
  std::optional<std::string> refusal;
};

PadApp::PadApp(PadOptions options, GLibExecutor& exec, LogSink& log)
    : options_(std::move(options)), exec_(exec), log_(log), engine_(log) {
  SignalingFactory::Options factoryOptions;
  factoryOptions.extraCaFile = options_.caFile;
  factoryOptions.logSink = &log_;
  BuiltSignaling built = SignalingFactory::make(SignalingBackend::webSocket, SignalingRole::pad, options_.deviceId,
                                                options_.deviceName, options_.server, options_.token, exec_,
                                                factoryOptions);
  service_ = std::move(built.service);
  trickle_ = built.trickle;
  watchTransport();
}

PadApp::~PadApp() {
  main_.cancel();
  stdin_.reset();
  removeSinks();
  manager_.reset();
  if (service_) service_->stop();
}

void PadApp::watchTransport() {
  auto* service = dynamic_cast<WebSocketSignalingService*>(service_.get());
  if (!service) return;
  const auto& transport = service->transport();
  watch_ = std::make_shared<SignInWatch>();
  // Runs on the transport's thread, before the service sees the frame or
  // the close, so a refusal is on record before any listing it ends.
  auto refuse = [this, watch = watch_](std::string why) {
    {
      std::lock_guard lock(watch->mutex);
      if (watch->answered || watch->refusal) return;
      watch->refusal = why;
    }
    // The loop outlives the transport, which the app stops before it goes.
    exec_.post([this, why] { finish(1, "cannot sign in to " + options_.server.toString() + ": " + why); });
  };
  transport->onText = [watch = watch_, refuse, inner = transport->onText](std::string text) {
    bool first;
    {
      std::lock_guard lock(watch->mutex);
      first = !watch->answered && !watch->refusal;
    }
    if (first) {
      // The server answers a hello it refuses with an error frame.
      auto frame = wsDecode(text);
      if (frame && frame.value().knownType() == WSType::error) {
        refuse(frame.value().code.value_or("error") + " (" + frame.value().message.value_or("") + ")");
      } else {
        std::lock_guard lock(watch->mutex);
        watch->answered = true;
      }
    }
    if (inner) inner(std::move(text));
  };
  transport->onClose = [refuse, inner = transport->onClose](std::optional<std::string> reason) {
    refuse(reason.value_or("the connection closed"));
    if (inner) inner(std::move(reason));
  };
}

bool PadApp::refused() {
  if (!watch_) return false;
  std::lock_guard lock(watch_->mutex);
  return watch_->refusal.has_value();
}

int PadApp::run() {
  if (std::holds_alternative<ListCommand>(options_.command)) {
    main_ = spawn(exec_, [this]() -> Task<void> { co_await list(); });
  } else {
    main_ = spawn(exec_, [this]() -> Task<void> { co_await connect(std::get<ConnectCommand>(options_.command)); });
  }
  exec_.run();
  return status_;
}

void PadApp::finish(int status, const std::string& message) {
  if (finished_) return;
  finished_ = true;
  status_ = status;
  if (!message.empty()) say(message);
  if (stdin_) stdin_->stop();
  reportTimer_.cancel();
  statsTimer_.cancel();
  connectDeadline_.cancel();
  latencyTimer_.cancel();
  removeSinks();
  if (manager_) manager_->disconnect();
  service_->stop();
  exec_.quit();
}

Task<void> PadApp::list() {
  connectDeadline_ = exec_.postAfter(Seconds(options_.timeoutSeconds), [this] {
    finish(1, "no answer from " + options_.server.toString() + " within " + std::to_string(int(options_.timeoutSeconds)) + " s");
  });
  service_->start();
  const std::vector<HostInfo> hosts = co_await service_->listHosts();
  if (refused()) co_return;  // being reported
  for (const auto& host : hosts) printLine(stdout, host.id + "\t" + host.machineName);
  finish(0, "");
}

Task<std::optional<HostInfo>> PadApp::findHost(std::string hostId) {
  for (;;) {
    const std::vector<HostInfo> hosts = co_await service_->listHosts();
    if (refused()) co_return std::nullopt;
    for (const auto& host : hosts) {
      if (host.id == hostId) co_return host;
    }
    co_await sleepFor(Seconds(kHostPollSeconds));
  }
}

Task<void> PadApp::connect(ConnectCommand command) {
  manager_ = PeerConnectionManager::create(SignalingRole::pad, service_, options_.iceServers, trickle_,
                                           options_.forceRelay, engine_, exec_, log_);
  manager_->onConnected = [this] { onConnected(); };
  manager_->onDisconnected = [this, id = command.hostId] {
    finish(connected_ ? 0 : 1, "the connection to " + id + " ended");
  };
  manager_->onRemoteVideoTrack = [this](std::shared_ptr<rtc::VideoTrack> track) { adoptTrack(std::move(track)); };
  manager_->onControlEvent = [this](const ControlEvent& event) {
    if (auto json = encodeControlEvent(event)) printLine(stdout, *json);
    const auto* screen = event.get<events::ScreenInfo>();
    if (screen && latency_) {
      // Points times the scale are the screen's pixels. Sizes from the
      // network: anything absurd means "as the picture".
      auto pixels = [scale = screen->scaleFactor](std::int64_t points) {
        const double size = double(points) * scale;
        return std::isfinite(size) && size >= 1 && size <= kMaxScreenSide ? int(size) : 0;
      };
      latency_->setScreenSize(pixels(screen->width), pixels(screen->height));
    }
  };
  // The service calls these on its transport's thread.
  service_->onPeerGone = [this] {
    exec_.post([this] {
      if (!connected_) finish(1, "the host left before the connection was up");
    });
  };
  service_->onError = [this](const std::string& code, const std::string& message) {
    exec_.post([this, code, message] {
      const std::string text = "server error " + code + (message.empty() ? "" : " (" + message + ")");
      if (connected_) {
        say(text);
      } else {
        finish(1, text);
      }
    });
  };
  if (command.snapshotFile) {
    meter_.wantSnapshot([this](I420Image image) {
      exec_.post([this, image = std::move(image)] { saveSnapshot(image); });
    });
  }
  if (command.latencySeconds) {
    latencySkipSeconds_ = command.latencySkipSeconds.value_or(0);
    latency_ = std::make_unique<LatencyMeter>(exec_.clock());
    latency_->onFirstFrame([this, seconds = *command.latencySeconds] {
      exec_.post([this, seconds] { startLatencyWindow(seconds); });
    });
  }
  stdin_ = std::make_unique<LineReader>(
      STDIN_FILENO, [this](std::string line) { sendLine(std::move(line)); },
      [this] { say("stdin line " + std::to_string(++stdinLine_) + " skipped: longer than " +
                   std::to_string(LineReader::kMaxLineBytes) + " bytes"); },
      [] {});

  connectDeadline_ = exec_.postAfter(Seconds(options_.timeoutSeconds), [this, id = command.hostId] {
    if (connected_) return;
    finish(1, asked_ ? "no connection to " + id + " within " + std::to_string(int(options_.timeoutSeconds)) + " s"
                     : "host " + id + " is not online");
  });
  service_->start();
  co_await manager_->start();
  const std::optional<HostInfo> host = co_await findHost(command.hostId);
  if (!host) co_return;  // refused, and being reported
  asked_ = true;
  try {
    co_await service_->sendConnectionRequest(*host);
  } catch (const std::exception& error) {
    finish(1, "cannot ask " + command.hostId + " for a session: " + error.what());
    co_return;
  }
  say("asked " + host->id + " (" + host->machineName + ") for a session");
}

void PadApp::onConnected() {
  if (connected_) return;  // connected, then completed
  connected_ = true;
  connectDeadline_.cancel();
  say("connected");
}

void PadApp::adoptTrack(std::shared_ptr<rtc::VideoTrack> track) {
  if (!track || finished_) return;
  removeSinks();
  track_ = std::move(track);
  track_->addSink(&meter_);
  if (latency_) track_->addSink(latency_.get());
  lastReportAt_ = exec_.now();
  engine_.refresh();
  scheduleReport();
}

// Statistics are asked for shortly before each report, so the rate it shows
// is that of the second just past.
void PadApp::scheduleReport() {
  statsTimer_ = exec_.postAfter(Seconds(kReportSeconds - kStatsLeadSeconds), [this] { engine_.refresh(); });
  reportTimer_ = exec_.postAfter(Seconds(kReportSeconds), [this] { reportVideo(); });
}

void PadApp::reportVideo() {
  const double now = exec_.now();
  const double elapsed = std::max(1e-3, now - lastReportAt_);
  const VideoMeter::Sample sample = meter_.take();
  lastReportAt_ = now;
  if (meter_.anyFrame()) {
    printLine(stderr, videoReport(sample.frames / elapsed, sample.width, sample.height, engine_.receivedKbps()));
  }
  scheduleReport();
}

void PadApp::saveSnapshot(const I420Image& image) {
  const auto& command = std::get<ConnectCommand>(options_.command);
  if (auto failure = writePng(image, *command.snapshotFile)) {
    say("cannot save the snapshot to " + *command.snapshotFile + ": " + *failure);
  } else {
    say("snapshot saved to " + *command.snapshotFile + " (" + std::to_string(image.width) + "x" +
        std::to_string(image.height) + ")");
  }
}

void PadApp::startLatencyWindow(double seconds) {
  if (finished_) return;
  const double skip = latencySkipSeconds_;
  if (skip <= 0) {
    latencyTimer_ = exec_.postAfter(Seconds(seconds), [this] { reportLatency(); });
    return;
  }
  // The figures of a settled session: what came before is dropped.
  latencyTimer_ = exec_.postAfter(Seconds(skip), [this, seconds] {
    latency_->take();
    latencyTimer_ = exec_.postAfter(Seconds(seconds), [this] { reportLatency(); });
  });
}

void PadApp::reportLatency() {
  if (track_) track_->removeSink(latency_.get());
  const LatencySummary summary = latency_->take();
  if (const auto report = latencyReport(summary)) {
    printLine(stdout, *report);
    finish(0, "");
  } else {
    finish(1, "no latency code in " + std::to_string(summary.missed) + " frames");
  }
}

void PadApp::removeSinks() {
  if (!track_) return;
  track_->removeSink(&meter_);
  if (latency_) track_->removeSink(latency_.get());
}

void PadApp::sendLine(std::string line) {
  ++stdinLine_;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  auto event = decodeControlEvent(line);
  if (!event) {
    say("stdin line " + std::to_string(stdinLine_) + " skipped: " + event.error());
    return;
  }
  manager_->sendControlEvent(event.value());
}

}  // namespace orvane::pad
