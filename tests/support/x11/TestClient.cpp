#include "tests/support/x11/TestClient.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/support/x11/ChildProcess.h"

namespace orvane::test {

namespace {

constexpr double kReadyTimeoutSeconds = 10;

std::vector<std::string> commandLine(const TestClient::Options& options) {
  std::vector<std::string> argv = {TestClient::executablePath(), "--title", options.title, "--geometry",
                                   std::to_string(options.width) + "x" + std::to_string(options.height) + "+" +
                                       std::to_string(options.x) + "+" + std::to_string(options.y)};
  if (options.pattern) argv.push_back("--pattern");
  argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
  return argv;
}

// The value after "<key>=" in a "ready" line.
std::optional<unsigned long> field(const std::string& line, const std::string& key, int base) {
  auto at = line.find(" " + key + "=");
  if (at == std::string::npos) return std::nullopt;
  const char* start = line.c_str() + at + key.size() + 2;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(start, &end, base);
  if (end == start || errno != 0) return std::nullopt;
  return value;
}

}  // namespace

std::string TestClient::executablePath() { return ORVANE_X11_TEST_CLIENT; }

TestClient::TestClient(Options options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  stdoutFd_ = fds[0];
  try {
    process_ = std::make_unique<ChildProcess>(ChildProcess::Options{.argv = commandLine(options), .stdoutFd = fds[1]});
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  reader_ = std::thread([this] { readLines(stdoutFd_); });

  auto ready = waitForLine("ready ", kReadyTimeoutSeconds);
  auto window = ready ? field(*ready, "window", 16) : std::nullopt;
  if (!window) {
    std::string status = process_->describeStatus();
    shutDown();  // the constructor throws: the destructor will not run
    throw std::runtime_error("test client did not report ready (" + status + ")");
  }
  window_ = *window;
}

TestClient::~TestClient() { shutDown(); }

void TestClient::shutDown() {
  if (process_) process_->stop();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
  stdoutFd_ = -1;
  process_.reset();
}

pid_t TestClient::pid() const { return process_->pid(); }

bool TestClient::running() { return process_->running(); }

std::optional<std::string> TestClient::waitForLine(std::string_view prefix, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  std::unique_lock lock(mutex_);
  std::size_t checked = 0;
  while (true) {
    for (; checked < lines_.size(); ++checked) {
      if (!taken_[checked] && lines_[checked].starts_with(prefix)) {
        taken_[checked] = true;
        return lines_[checked];
      }
    }
    if (ended_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && checked == lines_.size()) {
      return std::nullopt;
    }
  }
}

std::vector<std::string> TestClient::linesSoFar() {
  std::lock_guard lock(mutex_);
  return lines_;
}

void TestClient::readLines(int fd) {
  std::string pending;
  char buffer[4096];
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    // Woken now and then to notice the owner stopping, in case the pipe never closes.
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::lock_guard lock(mutex_);
    for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
      lines_.push_back(pending.substr(0, newline));
      taken_.push_back(false);
      pending.erase(0, newline + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

}  // namespace orvane::test
