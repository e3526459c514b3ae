#include "tests/support/x11/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orvane::test {

namespace {

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

ChildProcess::ChildProcess(Options options) {
  if (options.argv.empty()) throw std::invalid_argument("ChildProcess: no program");
  name_ = options.argv.front();
  // Orphans of a stopped group come to us instead of to an init that may never
  // reap them, so stop() can wait for the whole group to be gone.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // dup2 onto the same number clears close-on-exec, which is what we want.
  if (options.stdoutFd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, options.stdoutFd, STDOUT_FILENO);
  if (options.stderrFd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, options.stderrFd, STDERR_FILENO);
  if (options.extraFd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, options.extraFd, kExtraFdInChild);
  // Nothing else of ours leaks in: a pipe held open by a child never reaches EOF.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions_, kExtraFdInChild + (options.extraFd >= 0 ? 1 : 0));

  sigset_t defaults;
  sigfillset(&defaults);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setflags(&setup.attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&setup.attributes_, 0);
  posix_spawnattr_setsigdefault(&setup.attributes_, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes_, &empty);

  std::vector<char*> argv;
  for (auto& arg : options.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int error = posix_spawnp(&pid_, argv[0], &setup.actions_, &setup.attributes_, argv.data(), environ);
  if (error != 0) throw std::runtime_error("cannot start " + name_ + ": " + std::strerror(error));
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
  if (status_) return false;
  int status = 0;
  pid_t result = ::waitpid(pid_, &status, WNOHANG);
  if (result == pid_ || (result < 0 && errno == ECHILD)) {
    status_ = result == pid_ ? status : 0;
    return false;
  }
  return true;
}

std::string ChildProcess::describeStatus() {
  if (running()) return "running";
  if (WIFEXITED(*status_)) return "exited with " + std::to_string(WEXITSTATUS(*status_));
  if (WIFSIGNALED(*status_)) return "killed by signal " + std::to_string(WTERMSIG(*status_));
  return "ended";
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  // The group outlives its leader when the leader's children are still there.
  ::killpg(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::killpg(pid_, SIGKILL);
  if (!status_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
  }
  // The rest of the group: gone once every member has been reaped by us.
  deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    while (::waitpid(-pid_, nullptr, WNOHANG) > 0) {
    }
    if (::killpg(pid_, 0) != 0 && errno == ESRCH) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

LogFile::LogFile(const std::filesystem::path& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) throw std::runtime_error("cannot create " + path.string() + ": " + std::strerror(errno));
}

LogFile::~LogFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::string LogFile::tail(std::size_t maxBytes) const {
  std::ifstream in(path_, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  return text.size() > maxBytes ? text.substr(text.size() - maxBytes) : text;
}

std::string readWithTimeout(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return {};
  char buffer[512];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

}  // namespace orvane::test
