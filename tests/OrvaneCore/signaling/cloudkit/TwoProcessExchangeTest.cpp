// A host and a pad in two processes exchange request, offer, answer and
// candidates through one SQLite file, with and without push, and through one
// PostgreSQL database with push. Real time: each
// run is bounded by the peers' own time-out, and by `timeout` beyond that.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "tests/support/PostgresServer.h"
#include "tests/support/TempDir.h"

namespace {

struct PeerRun {
  int exitCode = -1;
  std::string output;
  std::map<std::string, double> firstAt;  // event name -> monotonic ms
  std::map<std::string, std::vector<std::string>> details;
};

// Runs both peers on a fresh file (or the database at `location`) until both exit.
std::vector<PeerRun> exchange(const std::string& mode, std::string location = {}) {
  orvane::test::TempDir dir;
  if (location.empty()) location = (dir.path / "records.sqlite").string();
  std::vector<FILE*> pipes;
  for (const char* role : {"mac", "pad"}) {
    // A stream, not a chain of + on literals, which GCC 12 misreads as out of bounds.
    std::ostringstream command;
    command << "exec timeout 20 '" << CK_PEER_PATH << "' " << role << " '" << location << "' " << mode;
    pipes.push_back(popen(command.str().c_str(), "r"));
  }
  std::vector<PeerRun> runs(2);
  for (std::size_t i = 0; i < 2; ++i) {  // the little each prints fits in its pipe meanwhile
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipes[i])) > 0;) runs[i].output.append(buffer, n);
    const int status = pclose(pipes[i]);
    runs[i].exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(runs[i].output);
    for (std::string line, tag, name, detail; std::getline(lines, line);) {
      std::istringstream words(line);
      double ms = 0;
      if (!(words >> tag >> name >> ms) || tag != "EVENT") continue;
      std::getline(words >> std::ws, detail);
      runs[i].firstAt.emplace(name, ms);
      runs[i].details[name].push_back(detail);
    }
  }
  return runs;
}

TEST(TwoProcessExchange, HostAndPadCompleteTheExchangeThroughOneFileAndPushIsFaster) {
  for (const std::string mode : {"push", "poll"}) {
    const auto runs = exchange(mode);
    const PeerRun &mac = runs[0], &pad = runs[1];
    ASSERT_EQ(mac.exitCode, 0) << mac.output;
    ASSERT_EQ(pad.exitCode, 0) << pad.output;
    EXPECT_EQ(pad.details.at("offer-received"), std::vector<std::string>{"v=0 fake offer from mac"});
    EXPECT_EQ(mac.details.at("answer-received"), std::vector<std::string>{"v=0 fake answer from pad"});
    EXPECT_EQ(mac.details.at("request-seen").size(), 1u);
    EXPECT_EQ(mac.details.at("candidate-received").size(), 2u);
    EXPECT_EQ(pad.details.at("candidate-received").size(), 2u);

    const double requested = pad.firstAt.at("request-written"), offered = pad.firstAt.at("offer-received"),
                 answered = mac.firstAt.at("answer-received");
    std::printf("[ck-exchange] %s: request->offer %.1f ms, offer->answer %.1f ms\n", mode.c_str(),
                offered - requested, answered - offered);
    if (mode == "push") {
      // Each leg without push waits for at least one 1 s poll, on average half a second.
      EXPECT_LT(offered - requested, 500.0);
      EXPECT_LT(answered - offered, 500.0);
    }
  }
}

TEST(TwoProcessExchange, HostAndPadCompleteTheExchangeThroughPostgresWithPush) {
  if (orvane::test::PostgresServer::binDir().empty()) GTEST_SKIP() << "PostgreSQL is not installed";
  orvane::test::PostgresServer server;
  const auto runs = exchange("push", server.createDatabase());
  const PeerRun &mac = runs[0], &pad = runs[1];
  ASSERT_EQ(mac.exitCode, 0) << mac.output;
  ASSERT_EQ(pad.exitCode, 0) << pad.output;
  EXPECT_EQ(pad.details.at("offer-received"), std::vector<std::string>{"v=0 fake offer from mac"});
  EXPECT_EQ(mac.details.at("answer-received"), std::vector<std::string>{"v=0 fake answer from pad"});
  EXPECT_EQ(mac.details.at("candidate-received").size(), 2u);
  EXPECT_EQ(pad.details.at("candidate-received").size(), 2u);
  const double requested = pad.firstAt.at("request-written"), offered = pad.firstAt.at("offer-received"),
               answered = mac.firstAt.at("answer-received");
  std::printf("[ck-exchange] postgres push: request->offer %.1f ms, offer->answer %.1f ms\n", offered - requested,
              answered - offered);
  EXPECT_LT(offered - requested, 500.0);
  EXPECT_LT(answered - offered, 500.0);
}

}  // namespace
