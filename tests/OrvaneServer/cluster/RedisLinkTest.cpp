#include "OrvaneServer/cluster/RedisLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "tests/support/RedisServer.h"

namespace orvane::server::cluster {
namespace {

using namespace std::chrono_literals;
using Kind = RedisReply::Kind;
using Clock = std::chrono::steady_clock;

// Polls `condition` until it holds or the deadline passes.
template <typename Fn>
bool eventually(Fn condition, std::chrono::milliseconds deadline = 5000ms) {
  const auto until = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class RedisLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::RedisServer::available()) GTEST_SKIP() << "redis-server is not installed";
    std::signal(SIGPIPE, SIG_IGN);  // as orvane-signal does: hiredis writes with write(2)
    server_ = std::make_unique<test::RedisServer>();
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
  }

  void TearDown() override {
    link_.reset();
    drain();
  }

  // Lets the io_context finish its work and the threads end.
  void drain() {
    work_.reset();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  void makeLink(int db, std::vector<std::string> channels, RedisLinkOptions options = {},
                std::string host = "127.0.0.1") {
    RedisLink::Callbacks callbacks;
    callbacks.connected = [this] { ++connected_; };
    callbacks.disconnected = [this] { ++disconnected_; };
    callbacks.message = [this](std::string_view channel, std::string_view payload) {
      std::lock_guard lock(mutex_);
      messages_.emplace_back(std::string(channel), std::string(payload));
    };
    RedisEndpoint endpoint{std::move(host), server_->port(), db};
    link_ = std::make_unique<RedisLink>(io_, endpoint, std::move(channels), std::move(callbacks),
                                        Logger("test", "redis", sink_), options);
    link_->start();
    ASSERT_TRUE(eventually([&] { return connected_ == 1; }));
  }

  RedisReply call(std::vector<std::string> args) {
    auto promise = std::make_shared<std::promise<RedisReply>>();
    auto future = promise->get_future();
    link_->command(std::move(args), [promise](RedisReply reply) { promise->set_value(std::move(reply)); });
    if (future.wait_for(5s) != std::future_status::ready) return RedisReply::refusedReply("no reply in time");
    return future.get();
  }

  bool received(const std::string& channel, const std::string& payload) {
    std::lock_guard lock(mutex_);
    return std::find(messages_.begin(), messages_.end(), std::pair(channel, payload)) != messages_.end();
  }

  std::size_t logged(std::string_view part) const {
    std::size_t n = 0;
    for (const std::string& m : sink_.messages()) n += m.find(part) != std::string::npos;
    return n;
  }

  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_{io_.get_executor()};
  std::vector<std::thread> threads_;
  std::unique_ptr<test::RedisServer> server_;
  CapturingLogSink sink_;
  std::unique_ptr<RedisLink> link_;
  std::atomic<int> connected_ = 0;
  std::atomic<int> disconnected_ = 0;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> messages_;
};

TEST_F(RedisLinkTest, CarriesBinarySafeCommandsAndTypesTheirReplies) {
  makeLink(3, {});
  const std::string value("a\0b\r\nc\xff", 7);
  EXPECT_EQ(call({"SET", "key", value}).asString(), "OK");
  EXPECT_EQ(call({"GET", "key"}).asString(), value);
  EXPECT_EQ(server_->command({"DBSIZE"}), "0") << "the key went to database 3";
  EXPECT_EQ(call({"INCR", "n"}).asInteger(), 1);
  EXPECT_TRUE(call({"GET", "missing"}).isNil());

  call({"RPUSH", "list", "x", std::string(1, '\0')});
  const RedisReply list = call({"LRANGE", "list", "0", "-1"});
  ASSERT_NE(list.asArray(), nullptr);
  ASSERT_EQ(list.elements.size(), 2u);
  EXPECT_EQ(list.elements[1].asString(), std::string(1, '\0'));

  const RedisReply wrongType = call({"INCR", "key"});
  EXPECT_EQ(wrongType.kind, Kind::error);
  EXPECT_TRUE(wrongType.text.starts_with("ERR")) << wrongType.text;
  EXPECT_EQ(call({"EVAL", "return {1, {2, {3}}}", "0"}).kind, Kind::array);
  EXPECT_EQ(call({"EVAL", "return {1, {2, {3, {4, {5}}}}}", "0"}).kind, Kind::refused);
  // What would break the one-reply-per-command order or the chosen database.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"subscribe", "x"}, {"MONITOR"}, {"SELECT", "0"}, {"CLIENT", "REPLY", "OFF"}, {"HELLO", "3"}}) {
    EXPECT_EQ(call(args).kind, Kind::refused) << (args.empty() ? "" : args[0]);
  }
  EXPECT_EQ(call({"PING"}).asString(), "PONG");
  EXPECT_EQ(disconnected_, 0);
}

TEST_F(RedisLinkTest, DeliversMessagesOfItsChannelsOnly) {
  // By name: "localhost" may resolve to ::1 first, where the server does not listen.
  makeLink(0, {"room", "presence", "room"}, {}, "localhost");
  const std::string payload("pay\0load", 8);
  EXPECT_EQ(call({"PUBLISH", "room", payload}).asInteger(), 1);
  EXPECT_EQ(call({"PUBLISH", "elsewhere", "x"}).asInteger(), 0);
  EXPECT_EQ(server_->command({"PUBLISH", "presence", "p"}), "1");
  EXPECT_TRUE(eventually([&] { return received("room", payload) && received("presence", "p"); }));
  std::lock_guard lock(mutex_);
  EXPECT_EQ(messages_.size(), 2u);
}

TEST_F(RedisLinkTest, SurvivesAServerRestart) {
  makeLink(0, {"room"});
  auto blocked = std::make_shared<std::promise<RedisReply>>();
  link_->command({"BLPOP", "queue", "30"}, [blocked](RedisReply r) { blocked->set_value(std::move(r)); });
  ASSERT_TRUE(eventually([&] { return server_->command({"CLIENT", "LIST"}).find("cmd=blpop") != std::string::npos; }));

  const auto killed = Clock::now();
  server_->stop();
  auto pending = blocked->get_future();
  ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(pending.get().kind, Kind::unavailable);
  const double pendingFailedMs = millisecondsSince(killed);
  ASSERT_TRUE(eventually([&] { return disconnected_ == 1; }));
  EXPECT_FALSE(link_->isConnected());
  const auto asked = Clock::now();
  EXPECT_EQ(call({"GET", "x"}).kind, Kind::unavailable);
  const double newFailedMs = millisecondsSince(asked);
  // Retries fail (100 ms, then 200 ms later), logged at debug level only.
  ASSERT_TRUE(eventually([&] { return logged("retry failed") >= 2; }));
  const double twoRetriesMs = millisecondsSince(killed);

  const auto restarted = Clock::now();
  server_->start();
  ASSERT_TRUE(eventually([&] { return connected_ == 2; }));
  const double reconnectMs = millisecondsSince(restarted);
  EXPECT_TRUE(link_->isConnected());
  EXPECT_EQ(call({"PUBLISH", "room", "again"}).asInteger(), 1);
  EXPECT_TRUE(eventually([&] { return received("room", "again"); }));
  EXPECT_EQ(disconnected_, 1);
  EXPECT_EQ(logged(" up"), 2u);
  std::vector<std::string> errors;
  for (const LogRecord& r : sink_.records()) {
    if (r.level == LogLevel::Error) errors.push_back(r.message);
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("lost"), std::string::npos) << errors[0];
  std::printf("pending failed after %.1f ms, new command after %.1f ms, two retries by %.1f ms, "
              "reconnected %.1f ms after restart\n",
              pendingFailedMs, newFailedMs, twoRetriesMs, reconnectMs);
}

TEST_F(RedisLinkTest, DropsConnectionsWhoseRepliesExceedTheBounds) {
  RedisLinkOptions options;
  options.maxReplyBytes = 64 * 1024;
  options.maxArrayElements = 1000;
  makeLink(0, {"room"}, options);
  server_->command({"SET", "big", std::string(1 << 20, 'b')});
  EXPECT_EQ(call({"GET", "big"}).kind, Kind::unavailable);
  ASSERT_TRUE(eventually([&] { return connected_ == 2; }));

  std::vector<std::string> push = {"RPUSH", "long"};
  for (int i = 0; i < 1001; ++i) push.push_back(std::to_string(i));
  server_->command(push);
  EXPECT_EQ(call({"LRANGE", "long", "0", "999"}).elements.size(), 1000u);
  EXPECT_EQ(call({"LRANGE", "long", "0", "-1"}).kind, Kind::unavailable);
  ASSERT_TRUE(eventually([&] { return connected_ == 3; }));
  EXPECT_EQ(call({"PING"}).asString(), "PONG");
  EXPECT_EQ(disconnected_, 2);
}

TEST_F(RedisLinkTest, StopFromAnotherThreadEndsAllCallbacks) {
  std::atomic<bool> stopped = false;
  std::atomic<int> late = 0;
  std::atomic<int> replies = 0;
  RedisLink::Callbacks callbacks;
  callbacks.message = [&](std::string_view, std::string_view) { late += stopped; };
  callbacks.disconnected = [&] { late += stopped; };
  std::atomic<int> up = 0;
  callbacks.connected = [&] { ++up; };
  link_ = std::make_unique<RedisLink>(io_, RedisEndpoint{"127.0.0.1", server_->port(), 0},
                                      std::vector<std::string>{"room"}, callbacks, Logger("test", "redis", sink_));
  link_->start();
  ASSERT_TRUE(eventually([&] { return up == 1; }));
  // Two chains of PUBLISH, each reply sending the next.
  std::function<void()> next = [&] {
    link_->command({"PUBLISH", "room", "tick"}, [&](RedisReply) {
      late += stopped;
      ++replies;
      next();
    });
  };
  const auto began = Clock::now();
  next();
  next();
  ASSERT_TRUE(eventually([&] { return replies > 1000; }));
  const double chainMs = millisecondsSince(began);
  link_->stop();
  stopped = true;
  drain();  // everything queued has run
  EXPECT_EQ(late, 0);
  EXPECT_FALSE(link_->isConnected());
  std::printf("%d replies before stop; two chains of PUBLISH: %.0f round trips/s\n", replies.load(),
              1000 * 1000 / chainMs);
}

TEST_F(RedisLinkTest, StopInsideACallbackEndsTheOthers) {
  std::atomic<int> messages = 0;
  RedisLink::Callbacks callbacks;
  std::atomic<int> up = 0;
  callbacks.connected = [&] { ++up; };
  callbacks.message = [&](std::string_view, std::string_view) {
    ++messages;
    link_->stop();
  };
  link_ = std::make_unique<RedisLink>(io_, RedisEndpoint{"127.0.0.1", server_->port(), 0},
                                      std::vector<std::string>{"room"}, callbacks, Logger("test", "redis", sink_));
  link_->start();
  ASSERT_TRUE(eventually([&] { return up == 1; }));
  for (int i = 0; i < 3; ++i) link_->command({"PUBLISH", "room", "m"}, [](RedisReply) {});
  ASSERT_TRUE(eventually([&] { return messages > 0; }));
  drain();
  EXPECT_EQ(messages, 1);
  EXPECT_FALSE(link_->isConnected());
}

TEST_F(RedisLinkTest, GivesUpOnAServerThatNeverAnswers) {
  // Accepts TCP connections (the kernel does) and never says a word.
  boost::asio::ip::tcp::acceptor silent(io_, {boost::asio::ip::make_address("127.0.0.1"), 0});
  RedisLinkOptions options;
  options.connectTimeout = 200ms;
  link_ = std::make_unique<RedisLink>(io_, RedisEndpoint{"127.0.0.1", silent.local_endpoint().port(), 0},
                                      std::vector<std::string>{"room"}, RedisLink::Callbacks{},
                                      Logger("test", "redis", sink_), options);
  const auto started = Clock::now();
  link_->start();
  ASSERT_TRUE(eventually([&] { return logged("timed out") == 1; }));
  const double timedOutMs = millisecondsSince(started);
  EXPECT_GE(timedOutMs, 190);
  EXPECT_EQ(call({"PING"}).kind, Kind::unavailable);
  ASSERT_TRUE(eventually([&] { return logged("retry failed: connecting timed out") >= 1; }));
  EXPECT_FALSE(link_->isConnected());
  std::printf("connecting timed out after %.1f ms\n", timedOutMs);
}

TEST(ParseRedisUrl, AcceptsOnlyTheStrictForm) {
  struct Case {
    const char* url;
    std::optional<RedisEndpoint> expected;
  };
  const Case cases[] = {
      {"redis://localhost", RedisEndpoint{"localhost", 6379, 0}},
      {"redis://10.0.0.2:6380", RedisEndpoint{"10.0.0.2", 6380, 0}},
      {"redis://cache.internal:7000/15", RedisEndpoint{"cache.internal", 7000, 15}},
      {"redis://[::1]:6390/2", RedisEndpoint{"::1", 6390, 2}},
      {"redis://[fe80::1]", RedisEndpoint{"fe80::1", 6379, 0}},
      {"redis://h/0", RedisEndpoint{"h", 6379, 0}},
      {"", std::nullopt},
      {"redis://", std::nullopt},
      {"rediss://host", std::nullopt},
      {"http://host", std::nullopt},
      {"redis://user:pw@host", std::nullopt},
      {"redis://:pw@host", std::nullopt},
      {"redis://host?db=1", std::nullopt},
      {"redis://host#x", std::nullopt},
      {"redis://host:", std::nullopt},
      {"redis://host:0", std::nullopt},
      {"redis://host:65536", std::nullopt},
      {"redis://host:080", std::nullopt},
      {"redis://host:+80", std::nullopt},
      {"redis://host/", std::nullopt},
      {"redis://host/16", std::nullopt},
      {"redis://host/-1", std::nullopt},
      {"redis://host/01", std::nullopt},
      {"redis://host/1/2", std::nullopt},
      {"redis://host:1:2", std::nullopt},
      {"redis://::1", std::nullopt},
      {"redis://[::1", std::nullopt},
      {"redis://[]", std::nullopt},
      {"redis://[not-v6]:1", std::nullopt},
      {"redis://[fe80::1%eth0]", std::nullopt},
      {"redis://[::1]x", std::nullopt},
      {"redis://ho st", std::nullopt},
      {"redis://-host", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = parseRedisUrl(c.url);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.url;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.expected->host) << c.url;
    EXPECT_EQ(parsed->port, c.expected->port) << c.url;
    EXPECT_EQ(parsed->db, c.expected->db) << c.url;
  }
  EXPECT_FALSE(parseRedisUrl("redis://" + std::string(2000, 'a')));
  EXPECT_FALSE(parseRedisUrl(std::string_view("redis://ho\0st", 13)));
}

}  // namespace
}  // namespace orvane::server::cluster
