// A host and a pad in two processes exchange request, offer, answer and
// candidates through one SQLite file, with and without push. Real time: each
// run is bounded by the peers' own time-out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct PeerRun {
  int exitCode = -1;
  std::string output;
  std::map<std::string, double> firstAt;  // event name -> monotonic ms
  std::map<std::string, std::vector<std::string>> details;
};

struct Child {
  pid_t pid = -1;
  int out = -1;
  PeerRun run;
};

Child launch(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  child.out = fds[0];
  return child;
}

void parse(PeerRun& run) {
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string tag, name;
    double ms = 0;
    if (!(words >> tag >> name >> ms) || tag != "EVENT") continue;
    std::string detail;
    std::getline(words >> std::ws, detail);
    run.firstAt.emplace(name, ms);
    run.details[name].push_back(detail);
  }
}

// Runs both peers on a fresh file until both exit (or 20 s pass).
std::pair<PeerRun, PeerRun> exchange(bool push) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("ck-exchange-" + std::to_string(getpid()) + (push ? "-push" : "-poll") + ".sqlite");
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
  std::vector<Child> children;
  for (const char* role : {"mac", "pad"}) {
    std::vector<std::string> args{CK_PEER_PATH, "--role", role, "--db", file.string(), "--timeout", "10"};
    if (!push) args.push_back("--no-push");
    children.push_back(launch(args));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::size_t open = 0;
  for (auto& child : children) open += child.out >= 0;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    std::vector<pollfd> fds;
    for (auto& child : children) fds.push_back({child.out, POLLIN, 0});
    poll(fds.data(), fds.size(), 200);
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (children[i].out < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(children[i].out, buffer, sizeof buffer);
      if (n > 0) {
        children[i].run.output.append(buffer, static_cast<std::size_t>(n));
      } else {
        close(children[i].out);
        children[i].out = -1;
        --open;
      }
    }
  }
  for (auto& child : children) {
    if (child.out >= 0) {
      kill(child.pid, SIGKILL);
      close(child.out);
    }
    int status = 0;
    if (child.pid > 0 && waitpid(child.pid, &status, 0) == child.pid && WIFEXITED(status)) {
      child.run.exitCode = WEXITSTATUS(status);
    }
    parse(child.run);
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
  return {children[0].run, children[1].run};
}

TEST(TwoProcessExchange, HostAndPadCompleteTheExchangeThroughOneFileAndPushIsFaster) {
  double totals[2] = {0, 0};
  for (bool push : {true, false}) {
    auto [mac, pad] = exchange(push);
    ASSERT_EQ(mac.exitCode, 0) << mac.output;
    ASSERT_EQ(pad.exitCode, 0) << pad.output;
    EXPECT_EQ(pad.details["offer-received"], std::vector<std::string>{"v=0 fake offer from mac"});
    EXPECT_EQ(mac.details["answer-received"], std::vector<std::string>{"v=0 fake answer from pad"});
    EXPECT_EQ(mac.details["request-seen"].size(), 1u);
    EXPECT_EQ(mac.details["candidate-received"].size(), 2u);
    EXPECT_EQ(pad.details["candidate-received"].size(), 2u);
    EXPECT_NE(mac.output.find("[Orvane:mac] poll: connection request received"), std::string::npos);
    EXPECT_NE(pad.output.find("[Orvane:pad] sendConnectionRequest: request written for host ck-peer-host"),
              std::string::npos);

    const double requested = pad.firstAt.at("request-written");
    const double offered = pad.firstAt.at("offer-received");
    const double answered = mac.firstAt.at("answer-received");
    totals[push ? 0 : 1] = answered - requested;
    std::printf("[ck-exchange] %s: request->offer %.1f ms, offer->answer %.1f ms, request->offer->answer %.1f ms\n",
                push ? "with push   " : "polling only", offered - requested, answered - offered, answered - requested);
    if (push) {
      // Each leg without push waits for at least one 1 s poll on average half a second.
      EXPECT_LT(offered - requested, 500.0);
      EXPECT_LT(answered - offered, 500.0);
    }
  }
  std::printf("[ck-exchange] push saves %.1f ms\n", totals[1] - totals[0]);
}

}  // namespace
