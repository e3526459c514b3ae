#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace orvane::test {

// A program run as a child process with its standard streams on pipes; every
// output line is kept for the test, which waits for the one it expects.
// Killed on destruction.
class Child {
 public:
  enum Stream { out = 0, err = 1 };
  using Clock = std::chrono::steady_clock;

  // args[0] is the program's path.
  explicit Child(std::vector<std::string> args) : name_(args.at(0)) {
    int in[2], outs[2][2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(outs[0], O_CLOEXEC) != 0 || pipe2(outs[1], O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outs[0][1], 1);
    posix_spawn_file_actions_adddup2(&actions, outs[1][1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(outs[0][1]);
    ::close(outs[1][1]);
    stdin_ = in[1];
    if (spawned != 0) pid_ = -1;
    for (int s = 0; s < 2; ++s) readers_[s] = std::thread([this, s, fd = outs[s][0]] { read(Stream(s), fd); });
  }
  ~Child() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (auto& reader : readers_) reader.join();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void write(const std::string& text) { ASSERT_EQ(::write(stdin_, text.data(), text.size()), ssize_t(text.size())); }
  void signal(int number) { ::kill(pid_, number); }

  // The exit status, or -1 when the process is still running after `seconds`;
  // its output is then read to the end.
  int wait(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!exited_) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // What it wrote last is still on its way through the pipes.
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return closed_[out] && closed_[err]; });
    return status_;
  }

  // The first line of `stream` that `match` accepts, waiting up to `seconds`.
  std::optional<std::string> waitLine(Stream stream, const std::function<bool(const std::string&)>& match,
                                      double seconds) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      for (const auto& line : lines_[stream]) {
        if (match(line)) found = line;
        if (found) return true;
      }
      return closed_[stream];
    });
    return found;
  }
  std::optional<std::string> waitPrefix(Stream stream, const std::string& prefix, double seconds) {
    return waitLine(stream, [&](const std::string& line) { return line.starts_with(prefix); }, seconds);
  }
  std::vector<std::string> lines(Stream stream) {
    std::lock_guard lock(mutex_);
    return lines_[stream];
  }
  // Both streams, for a failure message.
  std::string transcript() {
    std::lock_guard lock(mutex_);
    std::string text = "--- " + name_ + " stdout:\n";
    for (const auto& line : lines_[out]) text += line + "\n";
    text += "--- stderr:\n";
    for (const auto& line : lines_[err]) text += line + "\n";
    return text;
  }

 private:
  void read(Stream stream, int fd) {
    std::string partial;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      partial.append(buffer, std::size_t(n));
      std::lock_guard lock(mutex_);
      for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
        lines_[stream].push_back(partial.substr(0, end));
      }
      changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    closed_[stream] = true;
    changed_.notify_all();
  }

  std::string name_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_[2];
  bool closed_[2] = {false, false};
  std::thread readers_[2];
};

}  // namespace orvane::test
