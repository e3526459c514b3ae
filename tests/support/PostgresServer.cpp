#include "tests/support/PostgresServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/ChildServer.h"

namespace orvane::test {
namespace {

constexpr uid_t kNobody = 65534;
constexpr auto kStartDeadline = std::chrono::seconds(30);
constexpr auto kStopDeadline = std::chrono::seconds(15);


// Waits for the child to end, killing it after the deadline; its exit status.
int reap(pid_t pid, std::chrono::steady_clock::duration deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::filesystem::path PostgresServer::binDir() {
  const auto complete = [](const std::filesystem::path& dir) {
    return std::filesystem::exists(dir / "initdb") && std::filesystem::exists(dir / "postgres");
  };
  if (const char* chosen = std::getenv("ORVANE_POSTGRES_BIN")) return complete(chosen) ? chosen : "";
  for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin", "/usr/lib/postgresql/17/bin"}) {
    if (complete(dir)) return dir;
  }
  return {};
}

PostgresServer::PostgresServer() : bin_(binDir()) {
  if (bin_.empty()) throw std::runtime_error("PostgreSQL is not installed");
  if (::geteuid() == 0 && ::chown(dir_.path.c_str(), kNobody, kNobody) != 0) {
    throw std::runtime_error("cannot hand the cluster directory to nobody");
  }
  const pid_t initdb = run({(bin_ / "initdb").string(), "-D", (dir_.path / "data").string(), "-U", "orvane",
                            "--auth=trust", "--no-sync", "--locale=C", "--encoding=UTF8"});
  if (reap(initdb, kStartDeadline) != 0) throw std::runtime_error("initdb failed:\n" + logTail());
  // Another process may take the free port before postgres binds it: try another.
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

PostgresServer::~PostgresServer() { stop(); }

pid_t PostgresServer::run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string log = (dir_.path / "log").string();
  const bool asNobody = ::geteuid() == 0;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid > 0) return pid;
  // The child: only async-signal-safe calls from here on.
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd >= 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  }
  if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(126);
  // After the credentials change, which clears it: the server must not outlive a crashed test.
  ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
  if (::getppid() != parent) ::_exit(125);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

void PostgresServer::start() {
  if (pid_ > 0) return;
  pid_ = run({(bin_ / "postgres").string(), "-D", (dir_.path / "data").string(), "-k", dir_.path.string(), "-p",
              std::to_string(port_), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
              "full_page_writes=off", "-c", "synchronous_commit=off", "-c", "shared_buffers=16MB"});
  const auto until = std::chrono::steady_clock::now() + kStartDeadline;
  const std::string conninfo = url() + "?connect_timeout=2";
  while (PQping(conninfo.c_str()) != PQPING_OK) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // reaped already: nothing to stop
      throw std::runtime_error("postgres did not start:\n" + logTail());
    }
    if (std::chrono::steady_clock::now() > until) {
      stop();
      throw std::runtime_error("postgres did not start in time:\n" + logTail());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PostgresServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGINT);
  reap(pid_, kStopDeadline);
  pid_ = -1;
}

std::string PostgresServer::url(const std::string& database) const {
  return "postgresql://orvane@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::createDatabase() {
  const std::string name = "test" + std::to_string(++databases_);
  query(url(), "CREATE DATABASE " + name);
  return url(name);
}

std::string PostgresServer::query(const std::string& url, const std::string& sql) {
  PGconn* conn = PQconnectdb(url.c_str());
  std::string value;
  std::string error;
  if (PQstatus(conn) != CONNECTION_OK) {
    error = PQerrorMessage(conn);
  } else {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      error = PQresultErrorMessage(r);
    } else if (PQntuples(r) > 0 && PQnfields(r) > 0) {
      value = PQgetvalue(r, 0, 0);
    }
    PQclear(r);
  }
  PQfinish(conn);
  if (!error.empty()) throw std::runtime_error(sql + ": " + error);
  return value;
}

std::string PostgresServer::logTail() const { return fileTail(dir_.path / "log"); }

}  // namespace orvane::test
