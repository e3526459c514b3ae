#include "tests/support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ChildServer.h"

namespace orvane::test {
namespace {

constexpr const char* kServer = "/usr/bin/redis-server";
constexpr auto kStartDeadline = std::chrono::seconds(15);


struct FreeContext {
  void operator()(redisContext* c) const { redisFree(c); }
};
struct FreeReply {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};

}  // namespace

bool RedisServer::available() { return ::access(kServer, X_OK) == 0; }

RedisServer::RedisServer() {
  if (!available()) throw std::runtime_error("redis-server is not installed");
  // Another process may take the free port before redis-server binds it: try another.
  for (int attempt = 1;; ++attempt) {
    port_ = freeLoopbackPort();
    try {
      start();
      return;
    } catch (const std::runtime_error&) {
      if (attempt == 3) throw;
    }
  }
}

RedisServer::~RedisServer() { stop(); }

void RedisServer::start() {
  if (pid_ > 0) return;
  const std::vector<std::string> args = {kServer, "--port", std::to_string(port_), "--bind", "127.0.0.1",
                                         "--save", "", "--appendonly", "no", "--dir", dir_.path.string(),
                                         "--daemonize", "no", "--databases", "16"};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string log = (dir_.path / "log").string();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The child: only async-signal-safe calls from here on.
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(125);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  const auto until = std::chrono::steady_clock::now() + kStartDeadline;
  for (;;) {
    try {
      if (command({"PING"}) == "PONG") return;
    } catch (const std::runtime_error&) {
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("redis-server did not start:\n" + logTail());
    }
    if (std::chrono::steady_clock::now() > until) {
      stop();
      throw std::runtime_error("redis-server did not start in time:\n" + logTail());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RedisServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string RedisServer::url(int db) const {
  return "redis://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(db);
}

std::string RedisServer::command(const std::vector<std::string>& args) const {
  const timeval timeout{2, 0};
  std::unique_ptr<redisContext, FreeContext> c(redisConnectWithTimeout("127.0.0.1", port_, timeout));
  if (!c || c->err) throw std::runtime_error("cannot connect to redis-server");
  redisSetTimeout(c.get(), timeout);
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const std::string& a : args) {
    argv.push_back(a.data());
    lengths.push_back(a.size());
  }
  std::unique_ptr<redisReply, FreeReply> reply(
      static_cast<redisReply*>(redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
  if (!reply) throw std::runtime_error("redis-server did not reply");
  switch (reply->type) {
    case REDIS_REPLY_ERROR:
      throw std::runtime_error(std::string(reply->str, reply->len));
    case REDIS_REPLY_INTEGER:
      return std::to_string(reply->integer);
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      return std::string(reply->str, reply->len);
    default:
      return "";
  }
}

std::string RedisServer::logTail() const { return fileTail(dir_.path / "log"); }

}  // namespace orvane::test
