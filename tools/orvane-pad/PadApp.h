#pragma once

#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/peer/PeerConnectionManager.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/signaling/SignalingService.h"
#include "tools/orvane-pad/InboundStats.h"
#include "tools/orvane-pad/LatencyMeter.h"
#include "tools/orvane-pad/LineReader.h"
#include "tools/orvane-pad/PadOptions.h"
#include "tools/orvane-pad/VideoMeter.h"

namespace orvane::pad {

// One run of orvane-pad on the GLib main loop: signs in to the signalling
// server, then lists the hosts or holds one session with a host. Everything
// but the decoder's frames and the transport's callbacks runs on `exec`.
class PadApp {
 public:
  PadApp(PadOptions options, GLibExecutor& exec, LogSink& log);
  ~PadApp();
  PadApp(const PadApp&) = delete;
  PadApp& operator=(const PadApp&) = delete;

  // Runs the loop until the command is done; the process's exit status.
  int run();
  // Ends the run (from a signal handler's main-loop callback).
  void finish(int status, const std::string& message);

 private:
  struct SignInWatch;

  Task<void> list();
  Task<void> connect(ConnectCommand command);
  Task<std::optional<HostInfo>> findHost(std::string hostId);
  void watchTransport();
  bool refused();
  void onConnected();
  void adoptTrack(std::shared_ptr<rtc::VideoTrack> track);
  void scheduleReport();
  void reportVideo();
  void saveSnapshot(const I420Image& image);
  void startLatencyWindow(double seconds);
  void reportLatency();
  void removeSinks();
  void sendLine(std::string line);

  const PadOptions options_;
  GLibExecutor& exec_;
  LogSink& log_;
  StatsEngine engine_;
  std::shared_ptr<SignalingServiceProtocol> service_;
  bool trickle_ = true;
  std::shared_ptr<SignInWatch> watch_;
  std::shared_ptr<PeerConnectionManager> manager_;
  std::shared_ptr<rtc::VideoTrack> track_;
  VideoMeter meter_;
  std::unique_ptr<LatencyMeter> latency_;  // with --latency
  double latencySkipSeconds_ = 0;
  std::unique_ptr<LineReader> stdin_;
  TimerHandle reportTimer_;
  TimerHandle statsTimer_;
  TimerHandle connectDeadline_;
  TimerHandle latencyTimer_;
  double lastReportAt_ = 0;
  long stdinLine_ = 0;
  bool asked_ = false;  // the connection request went out
  bool connected_ = false;
  bool finished_ = false;
  int status_ = 0;
  TaskHandle main_;
};

}  // namespace orvane::pad
