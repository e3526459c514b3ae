#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "OrvaneCore/runtime/Log.h"

namespace orvane {

// Starts an installed application from its desktop entry through GIO, as the
// desktop's own launcher would: Exec with its field codes, Terminal, Path and
// D-Bus activation all handled there.
class GioApplicationLauncher {
 public:
  enum class Failure {
    noSuchEntry,   // the file is missing or is not a launchable desktop entry
    launchFailed,  // GIO could not start it
  };
  struct Result {
    std::optional<Failure> failure;
    std::string message;       // GIO's reason when it failed
    std::optional<pid_t> pid;  // the started process, when GIO spawned one
    bool ok() const { return !failure; }
  };

  // The application opens on `display` ($DISPLAY when empty).
  explicit GioApplicationLauncher(std::string display = {}, LogSink& log = systemLogSink());

  Result launch(const std::string& desktopFilePath);

 private:
  std::string display_;
  Logger log_;
};

}  // namespace orvane
