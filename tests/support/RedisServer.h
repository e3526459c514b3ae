#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace orvane::test {

// A throwaway redis-server on 127.0.0.1 and a free port, keeping nothing on
// disk, killed with this object. Dies with the test process.
class RedisServer {
 public:
  static bool available();  // false when redis-server is not installed: skip

  RedisServer();  // throws std::runtime_error with the server's log when it cannot start
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  void stop();   // SIGKILL, as an outage: clients see their connections drop
  void start();  // a new, empty server on the same port

  std::uint16_t port() const { return port_; }
  std::string url(int db = 0) const;
  // Runs one command on a fresh connection; the reply as text (integers in
  // decimal, nil as ""). Throws std::runtime_error on an error reply.
  std::string command(const std::vector<std::string>& args) const;

 private:
  std::string logTail() const;

  TempDir dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace orvane::test
