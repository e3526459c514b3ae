#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Executor.h"

namespace orvane::app {

// When this process started, in clock ticks since boot (/proc/PID/stat), or
// nothing once the process is gone or /proc cannot tell.
std::optional<std::uint64_t> processStartTicks(pid_t pid);

// Where copies of the host running in this user session on `display` register:
// under $XDG_RUNTIME_DIR, else a private directory of this user in /tmp.
std::filesystem::path instanceDirectory(const std::string& display);

// Makes an older copy of the host quit once a newer one runs. Each copy keeps
// a record "<pid> <launch time> <process start>" in a shared directory; once a
// second each copy reads the others' records and quits at the first live one
// launched later than itself. Equal launch times never quit, and a record
// whose process is gone, or whose pid now names another process, is ignored.
// Main executor only.
class SingleInstance {
 public:
  static constexpr double kCheckIntervalSeconds = 1.0;

  struct Options {
    std::filesystem::path directory;
    pid_t pid = ::getpid();
    // This copy's launch time; its process start when unset.
    std::optional<std::uint64_t> launchTime;
  };

  SingleInstance(Executor& main, Options options, std::function<void()> quit);
  // Removes this copy's record.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Registers and checks every second, the first check a second from now.
  // False when the record cannot be written: the copy then runs unguarded.
  bool start();
  // One check; true when a newer copy was found and `quit` called.
  bool check();

  std::uint64_t launchTime() const { return launchTime_; }

 private:
  void schedule();
  std::filesystem::path recordPath(pid_t pid) const;

  Executor& main_;
  const std::filesystem::path directory_;
  const pid_t pid_;
  const std::uint64_t processStart_;
  const std::uint64_t launchTime_;
  std::function<void()> quit_;
  TimerHandle timer_;
  bool registered_ = false;
};

}  // namespace orvane::app
