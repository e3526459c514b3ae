#include "OrvaneServer/cluster/RedisCluster.h"

#include <openssl/rand.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <future>
#include <mutex>

namespace orvane::server::cluster {

namespace {

const std::string kDevices = "orvane:devices";
const std::string kAlivePrefix = "orvane:alive:";
const std::string kPresenceChannel = "orvane:presence";
const std::string kEveryoneChannel = "orvane:all";
const std::string kInstancePrefix = "orvane:to:";

// Keeps a later registration of a device over an earlier one.
const std::string kAnnounce = R"(
local v = redis.call('HGET', KEYS[1], ARGV[1])
if v then
  local ok, r = pcall(cjson.decode, v)
  if ok and type(r) == 'table' and tonumber(r.sinceMs) and tonumber(r.sinceMs) > tonumber(ARGV[3]) then return 0 end
end
redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
return 1)";

// Deletes a record only while it is still the one of that instance's socket.
const std::string kWithdraw = R"(
local v = redis.call('HGET', KEYS[1], ARGV[1])
if not v then return 0 end
local ok, r = pcall(cjson.decode, v)
if ok and type(r) == 'table' and r.instance == ARGV[2] and tonumber(r.socket) == tonumber(ARGV[3]) then
  return redis.call('HDEL', KEYS[1], ARGV[1])
end
return 0)";

// The records of live instances, as field, value, field, value...
const std::string kLiveRecords = R"(
local all = redis.call('HGETALL', KEYS[1])
local out, alive = {}, {}
for i = 1, #all, 2 do
  local ok, r = pcall(cjson.decode, all[i + 1])
  if ok and type(r) == 'table' and type(r.instance) == 'string' then
    if alive[r.instance] == nil then alive[r.instance] = redis.call('EXISTS', ARGV[1] .. r.instance) == 1 end
    if alive[r.instance] then out[#out + 1] = all[i]; out[#out + 1] = all[i + 1] end
  end
end
return out)";

// Purges a lapsed instance's records.
const std::string kPurge = R"(
local all = redis.call('HGETALL', KEYS[1])
local n = 0
for i = 1, #all, 2 do
  local ok, r = pcall(cjson.decode, all[i + 1])
  if ok and type(r) == 'table' and r.instance == ARGV[1] then redis.call('HDEL', KEYS[1], all[i]); n = n + 1 end
end
return n)";

}  // namespace

struct RedisCluster::Timer {
  explicit Timer(boost::asio::io_context& io) : timer(io) {}
  std::mutex mutex;  // start/stop against the handler re-arming it
  boost::asio::steady_timer timer;
};

RedisCluster::RedisCluster(boost::asio::io_context& io, RedisEndpoint endpoint, std::string instance,
                           ServerCore& core, Logger log)
    : instance_(std::move(instance)),
      core_(core),
      log_(log),
      link_(io, std::move(endpoint), {kPresenceChannel, kEveryoneChannel, kInstancePrefix + instance_},
            RedisLink::Callbacks{[this] { onConnected(); },
                                 [this] {
                                   log_.error("cluster: lost Redis; devices elsewhere look gone until it is back");
                                   // Nothing reaches them now: lists must not offer them.
                                   core_.remoteDevices({});
                                 },
                                 [this](std::string_view channel, std::string_view payload) {
                                   onMessage(channel, payload);
                                 }},
            log),
      timer_(std::make_unique<Timer>(io)) {}

RedisCluster::~RedisCluster() { stop(); }

std::string RedisCluster::newInstanceName() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no randomness for the instance name");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

void RedisCluster::start() {
  core_.setClusterPort(this);
  link_.start();
  tick();
}

void RedisCluster::stop() {
  if (stopped_.exchange(true)) return;
  core_.setClusterPort(nullptr);
  {
    std::lock_guard lock(timer_->mutex);
    timer_->timer.cancel();
  }
  // Bounded: a Redis that is down must not hold up the server's stop.
  auto deleted = std::make_shared<std::promise<void>>();
  link_.command({"DEL", kAlivePrefix + instance_}, [deleted](const RedisReply&) { deleted->set_value(); });
  deleted->get_future().wait_for(std::chrono::milliseconds(500));
  link_.stop();
}

void RedisCluster::tick() {
  std::lock_guard lock(timer_->mutex);
  if (stopped_) return;
  timer_->timer.expires_after(core_.options.clusterRefresh);
  timer_->timer.async_wait([this](boost::system::error_code ec) {
    if (ec || stopped_) return;
    sweep();
    tick();
  });
}

void RedisCluster::onConnected() {
  log_.info("cluster: instance %{public}s joined through Redis", instance_);
  link_.command({"SET", kAlivePrefix + instance_, "1", "PX", std::to_string(core_.options.clusterLapse.count())},
                [](const RedisReply&) {});
  core_.announceAll();
  link_.command({"EVAL", kLiveRecords, "1", kDevices, kAlivePrefix}, [this](const RedisReply& reply) {
    const auto* all = reply.asArray();
    if (!all) return;  // the link went down again: the next connection catches up
    std::vector<std::pair<std::string, DeviceRecord>> records;
    for (std::size_t i = 0; i + 1 < all->size(); i += 2) {
      auto key = (*all)[i].asString();
      auto value = (*all)[i + 1].asString();
      auto record = value ? decodeDeviceRecord(*value) : std::nullopt;
      if (key && record) records.emplace_back(std::string(*key), std::move(*record));
    }
    core_.remoteDevices(records);
  });
}

void RedisCluster::sweep() {
  if (!link_.isConnected()) return;
  link_.command({"SET", kAlivePrefix + instance_, "1", "PX", std::to_string(core_.options.clusterLapse.count())},
                [](const RedisReply&) {});
  const std::vector<std::string> instances = core_.knownInstances();
  if (instances.empty()) return;
  std::vector<std::string> args{"MGET"};
  for (const auto& i : instances) args.push_back(kAlivePrefix + i);
  link_.command(std::move(args), [this, instances](const RedisReply& reply) {
    const auto* alive = reply.asArray();
    if (!alive || alive->size() != instances.size()) return;  // not known: no verdict
    for (std::size_t i = 0; i < instances.size(); ++i) {
      if (!(*alive)[i].isNil()) continue;
      log_.info("cluster: instance %{public}s lapsed", instances[i]);
      core_.instanceGone(instances[i]);
      link_.command({"EVAL", kPurge, "1", kDevices, instances[i]}, [](const RedisReply&) {});
    }
  });
}

void RedisCluster::onMessage(std::string_view channel, std::string_view payload) {
  if (channel != kPresenceChannel) return core_.peerMessage(payload);
  std::string key(payload);
  link_.command({"HGET", kDevices, key}, [this, key](const RedisReply& reply) {
    if (reply.failed()) return;  // the next catch-up reads it
    auto value = reply.asString();
    core_.remoteDevice(key, value ? decodeDeviceRecord(*value) : std::nullopt);
  });
}

void RedisCluster::publish(const std::string& instance, std::string message) {
  if (instance.empty()) {
    link_.command({"PUBLISH", kEveryoneChannel, std::move(message)}, [](const RedisReply&) {});
    return;
  }
  std::vector<std::string> args{"PUBLISH", kInstancePrefix + instance, message};
  link_.command(std::move(args), [this, instance, message = std::move(message)](const RedisReply& reply) {
    if (reply.asInteger().value_or(0) < 1) core_.undelivered(instance, message);
  });
}

void RedisCluster::announce(const std::string& presenceKey, std::string record) {
  const auto decoded = decodeDeviceRecord(record);
  if (!decoded) return;
  link_.command({"EVAL", kAnnounce, "1", kDevices, presenceKey, std::move(record), std::to_string(decoded->sinceMs)},
                [](const RedisReply&) {});
  link_.command({"PUBLISH", kPresenceChannel, presenceKey}, [](const RedisReply&) {});
}

void RedisCluster::withdraw(const std::string& presenceKey, std::string record) {
  const auto decoded = decodeDeviceRecord(record);
  if (!decoded) return;
  link_.command({"EVAL", kWithdraw, "1", kDevices, presenceKey, decoded->instance, std::to_string(decoded->socket)},
                [](const RedisReply&) {});
  link_.command({"PUBLISH", kPresenceChannel, presenceKey}, [](const RedisReply&) {});
}

}  // namespace orvane::server::cluster
