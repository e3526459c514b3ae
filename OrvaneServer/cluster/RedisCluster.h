#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "OrvaneServer/ServerCore.h"
#include "OrvaneServer/cluster/RedisLink.h"

namespace boost::asio {
class io_context;
}

namespace orvane::server::cluster {

// One instance's part in a cluster whose instances meet in Redis.
//
// Presence: every registered device's record in one hash, written with a
// script that keeps a later registration over an earlier one, and a doorbell
// on a channel naming the key; every instance re-reads the key on it. An
// instance keeps a key of its own alive (refreshed every `refresh`, lapsing
// after `lapse`) and checks those of the instances it knows: one that lapsed
// is gone, its records purged. After every (re)connection it announces its
// devices again (Redis may have restarted empty) and reads the whole hash.
//
// Messages: published to the receiving instance's channel. Redis delivers only
// to subscribers connected at that moment: a message nobody received, or one
// that could not be sent, goes back to the hub as undelivered, which tells the
// sender that its peer is gone.
class RedisCluster final : public ClusterPort {
 public:
  RedisCluster(boost::asio::io_context& io, RedisEndpoint endpoint, std::string instance, ServerCore& core,
               Logger log);
  ~RedisCluster() override;
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  void start();
  // Ends this instance's presence at once (others need not wait for it to
  // lapse) and closes the link.
  void stop();

  void publish(const std::string& instance, std::string message) override;
  void announce(const std::string& presenceKey, std::string record) override;
  void withdraw(const std::string& presenceKey, std::string record) override;

  static std::string newInstanceName();

 private:
  struct Timer;
  void onConnected();
  void onMessage(std::string_view channel, std::string_view payload);
  void tick();
  void sweep();

  std::string instance_;
  ServerCore& core_;
  Logger log_;
  RedisLink link_;
  std::unique_ptr<Timer> timer_;
  std::atomic<bool> stopped_{false};
};

}  // namespace orvane::server::cluster
