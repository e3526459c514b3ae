#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/runtime/Log.h"

namespace boost::asio {
class io_context;
}

namespace orvane::server::cluster {

struct RedisEndpoint {
  std::string host;  // a name or an address; IPv6 without brackets
  std::uint16_t port = 6379;
  int db = 0;
};

// redis://HOST[:PORT][/DB] and nothing more: no user, password, query or
// fragment; DB 0..15; HOST may be an IPv6 address in brackets. nullopt otherwise.
std::optional<RedisEndpoint> parseRedisUrl(std::string_view url);

// One reply, or why there is none.
struct RedisReply {
  enum class Kind {
    nil,
    integer,
    string,       // bulk or status
    array,
    error,        // the server's error text ("ERR ...", "WRONGTYPE ...")
    unavailable,  // the link is down or went down before the reply
    refused,      // refused here: a command the link does not carry, or a reply nested too deeply
  };

  Kind kind = Kind::nil;
  std::int64_t integer = 0;
  std::string text;  // the string, or the error's text
  std::vector<RedisReply> elements;

  static RedisReply unavailableReply() { return {Kind::unavailable, 0, "link unavailable", {}}; }
  static RedisReply refusedReply(std::string why) { return {Kind::refused, 0, std::move(why), {}}; }

  bool failed() const { return kind == Kind::error || kind == Kind::unavailable || kind == Kind::refused; }
  bool isNil() const { return kind == Kind::nil; }
  std::optional<std::string_view> asString() const;
  std::optional<std::int64_t> asInteger() const;
  const std::vector<RedisReply>* asArray() const;  // null when not an array
};

struct RedisLinkOptions {
  std::chrono::milliseconds connectTimeout{2000};  // until both connections are ready
  std::chrono::milliseconds firstBackoff{100};     // doubling after each failed attempt
  std::chrono::milliseconds maxBackoff{2000};
  // Beyond these a connection is treated as broken: unread reply bytes, and
  // elements of one array (hiredis allocates the array up front).
  std::size_t maxReplyBytes = 16 * 1024 * 1024;
  int maxArrayElements = 1 << 20;
  int maxReplyDepth = 4;  // deeper replies come back as `refused`
};

// A link to one Redis server over two hiredis connections on one strand of
// the io_context: one for commands, one subscribed to fixed channels. Either
// failing brings both down; the link reconnects with back-off until stopped.
class RedisLink {
 public:
  struct Callbacks {
    std::function<void()> connected;     // after every (re)connection, once SELECT and SUBSCRIBE are done
    std::function<void()> disconnected;  // once per loss; commands then fail at once with `unavailable`
    std::function<void(std::string_view channel, std::string_view payload)> message;
  };

  RedisLink(boost::asio::io_context& io, RedisEndpoint endpoint, std::vector<std::string> channels,
            Callbacks callbacks, Logger log, RedisLinkOptions options = {});
  ~RedisLink();  // stops
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  void start();  // connects in the background, retrying forever
  // Closes both connections. Once it returns no callback (nor `done`) runs
  // again, unless called from inside one of them, which then ends first.
  void stop();
  // Binary-safe arguments. `done` runs on the link's strand exactly once,
  // unless the link is stopped first. Callable from any thread.
  void command(std::vector<std::string> args, std::function<void(RedisReply)> done);
  bool isConnected() const;

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvane::server::cluster
