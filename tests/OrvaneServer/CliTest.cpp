#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace {

// orvane-signal run as a child process, its output read through pipes.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), ORVANE_SIGNAL);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }
  // One line of standard output; empty after 5 s or at its end.
  std::string line() {
    std::string text;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (poll(&p, 1, 5000) == 1 && read(out_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  // Exit status once finished (within 5 s, else -1); the rest of stderr in `err`.
  int wait(std::string* err = nullptr) {
    for (int i = 0; i < 100; ++i, usleep(50000)) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
      pid_ = 0;
      char buffer[4096];
      ssize_t n;
      while (err && (n = read(err_, buffer, sizeof buffer)) > 0) err->append(buffer, static_cast<std::size_t>(n));
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return -1;
  }
  void signal(int s) { kill(pid_, s); }

 private:
  pid_t pid_ = 0;
  int out_ = -1;
  int err_ = -1;
};

TEST(OrvaneSignal, HelpAndBadArguments) {
  for (auto args : {std::vector<std::string>{"--help"}, {"serve", "--help"}, {"invite", "-h"}}) {
    Program help(args);
    EXPECT_TRUE(help.line().starts_with("Usage: orvane-signal"));
    EXPECT_EQ(help.wait(), 0);
  }
  for (auto args : {std::vector<std::string>{}, {"serve", "--port", "http"}, {"invite"}, {"frobnicate"}}) {
    Program bad(args);
    std::string err;
    EXPECT_EQ(bad.wait(&err), 2);
    EXPECT_TRUE(err.starts_with("orvane-signal: ") || err.starts_with("Usage:")) << err;
  }
}

TEST(OrvaneSignal, ServesOnAFreePortAndInvitesThroughIt) {
  auto dir = std::filesystem::temp_directory_path() / ("orvane-cli-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  Program serve({"serve", "--port", "0", "--data-dir", dir.string()});
  const std::string prefix = "listening on http://127.0.0.1:";
  std::string first = serve.line();
  ASSERT_TRUE(first.starts_with(prefix) && first.size() > prefix.size()) << first;
  EXPECT_GT(std::stoi(first.substr(prefix.size())), 0);
  const std::string base = first.substr(13);

  Program invite({"invite", "--user", "ann", "--data-dir", dir.string(), "--ttl", "60"});
  std::string token = invite.line();
  EXPECT_FALSE(token.empty());
  EXPECT_EQ(invite.line(), base + "/#invite=" + token);
  EXPECT_EQ(invite.wait(), 0);

  serve.signal(SIGTERM);
  EXPECT_EQ(serve.wait(), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
