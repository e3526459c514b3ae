#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane::test {

// A program started in a process group of its own, so that stopping it also
// stops whatever it started. Stopped (SIGTERM, then SIGKILL) and reaped on
// destruction. Started with posix_spawn: safe while other threads run. Makes
// this process a child subreaper, so orphans of stopped groups are reaped here.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH
    // File descriptors of this process the child gets as stdout and stderr;
    // -1 leaves them as they are here. stdin is always /dev/null.
    int stdoutFd = -1;
    int stderrFd = -1;
    // A descriptor handed to the child as fd 3 (for -displayfd, --print-address).
    int extraFd = -1;
  };
  // The fd number extraFd has in the child.
  static constexpr int kExtraFdInChild = 3;

  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(Options options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Whether it is still running; reaps it when it has exited.
  bool running();
  // Its wait status once it has exited.
  std::optional<int> exitStatus() const { return status_; }
  // "exited with 1", "killed by signal 9", or "running".
  std::string describeStatus();
  // SIGTERM to the group, SIGKILL once `grace` has passed; returns once the
  // whole group is reaped (or, for members that are not ours, another `grace`).
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

 private:
  std::string name_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A log file the children of one fixture write their stderr to, so a failed
// start can say why without the noise reaching every test's output.
class LogFile {
 public:
  explicit LogFile(const std::filesystem::path& path);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  int fd() const { return fd_; }
  // The last `maxBytes` written, for error messages.
  std::string tail(std::size_t maxBytes = 2000) const;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Waits up to `timeout` for `fd` to be readable and returns what a read got
// (empty at end of file or timeout).
std::string readWithTimeout(int fd, std::chrono::milliseconds timeout);

}  // namespace orvane::test
