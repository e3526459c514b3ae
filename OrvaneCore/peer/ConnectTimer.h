#pragma once

#include <optional>
#include <string>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"

namespace orvane {

// Measures a pad's connection request to a working peer connection and logs
// it per signalling backend, so the backends can be compared. Not locked:
// used from the main thread.
class ConnectTimer {
 public:
  ConnectTimer(std::string backendLabel, const Clock& clock, LogSink& sink = systemLogSink());

  // Begins a measurement, or restarts the running one from now.
  void start();
  // Logs and ends the running measurement; does nothing when none runs.
  void connected();

  bool running() const { return t0_.has_value(); }
  const std::string& backendLabel() const { return backendLabel_; }

 private:
  std::optional<WallTime> t0_;
  std::string backendLabel_;
  const Clock& clock_;
  Logger log_;
};

}  // namespace orvane
