#include "OrvaneServer/cluster/RedisLink.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cctype>
#include <charconv>
#include <climits>
#include <mutex>

namespace orvane::server::cluster {
namespace asio = boost::asio;

namespace {

constexpr std::size_t kMaxUrlLength = 1024;
constexpr int kMaxDb = 15;

// Decimal digits only, no sign or leading zero, within [low, high].
std::optional<int> parseNumber(std::string_view text, int low, int high) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  int value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + (ch - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool isHostName(std::string_view host) {
  if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-') return false;
  return std::all_of(host.begin(), host.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.' || ch == '_';
  });
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

// Commands that would break the command connection's one-reply-per-command
// order (subscriptions, MONITOR, CLIENT REPLY), its database, or its protocol.
std::optional<std::string> refusal(const std::vector<std::string>& args) {
  if (args.empty()) return "empty command";
  if (args.size() > INT_MAX) return "too many arguments";
  const std::string name = lowercase(args[0]);
  for (const char* refused : {"subscribe", "psubscribe", "ssubscribe", "unsubscribe", "punsubscribe", "sunsubscribe",
                              "monitor", "select", "quit", "reset", "hello", "sync", "psync"}) {
    if (name == refused) return name + " is not carried by this link";
  }
  if (name == "client" && args.size() > 1 && lowercase(args[1]) == "reply") return "client reply is not carried";
  return std::nullopt;
}

RedisReply convert(const redisReply* r, int depth, int maxDepth) {
  using Kind = RedisReply::Kind;
  switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      return {Kind::string, 0, std::string(r->str, r->len), {}};
    case REDIS_REPLY_ERROR:
      return {Kind::error, 0, std::string(r->str, r->len), {}};
    case REDIS_REPLY_INTEGER:
      return {Kind::integer, r->integer, {}, {}};
    case REDIS_REPLY_NIL:
      return {};
    case REDIS_REPLY_ARRAY: {
      if (depth >= maxDepth) return RedisReply::refusedReply("reply nested too deeply");
      RedisReply out{Kind::array, 0, {}, {}};
      out.elements.reserve(r->elements);
      for (std::size_t i = 0; i < r->elements; ++i) {
        RedisReply element = convert(r->element[i], depth + 1, maxDepth);
        if (element.kind == Kind::refused) return element;
        out.elements.push_back(std::move(element));
      }
      return out;
    }
    default:
      return RedisReply::refusedReply("unknown reply type");
  }
}

}  // namespace

std::optional<RedisEndpoint> parseRedisUrl(std::string_view url) {
  constexpr std::string_view kScheme = "redis://";
  if (url.size() > kMaxUrlLength || !url.starts_with(kScheme)) return std::nullopt;
  std::string_view rest = url.substr(kScheme.size());
  if (rest.find_first_of("@?#") != std::string_view::npos) return std::nullopt;
  RedisEndpoint endpoint;
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    endpoint.host = std::string(rest.substr(1, close - 1));
    boost::system::error_code ec;
    asio::ip::make_address_v6(endpoint.host, ec);
    if (ec || endpoint.host.find('%') != std::string::npos) return std::nullopt;
    rest.remove_prefix(close + 1);
  } else {
    const std::size_t end = std::min(rest.find(':'), rest.find('/'));
    endpoint.host = std::string(rest.substr(0, end));
    if (!isHostName(endpoint.host)) return std::nullopt;
    rest.remove_prefix(std::min(end, rest.size()));
  }
  if (rest.starts_with(':')) {
    const std::size_t end = std::min(rest.find('/'), rest.size());
    const auto port = parseNumber(rest.substr(1, end - 1), 1, 65535);
    if (!port) return std::nullopt;
    endpoint.port = static_cast<std::uint16_t>(*port);
    rest.remove_prefix(end);
  }
  if (rest.starts_with('/')) {
    const auto db = parseNumber(rest.substr(1), 0, kMaxDb);
    if (!db) return std::nullopt;
    endpoint.db = *db;
    rest = {};
  }
  if (!rest.empty()) return std::nullopt;
  return endpoint;
}

std::optional<std::string_view> RedisReply::asString() const {
  if (kind != Kind::string) return std::nullopt;
  return std::string_view(text);
}

std::optional<std::int64_t> RedisReply::asInteger() const {
  if (kind != Kind::integer) return std::nullopt;
  return integer;
}

const std::vector<RedisReply>* RedisReply::asArray() const { return kind == Kind::array ? &elements : nullptr; }

class RedisLink::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(asio::io_context& io, RedisEndpoint endpoint, std::vector<std::string> channels, Callbacks callbacks,
       Logger log, RedisLinkOptions options)
      : io_(io),
        strand_(asio::make_strand(io)),
        timer_(io),
        resolver_(io),
        endpoint_(std::move(endpoint)),
        name_(endpoint_.host + ":" + std::to_string(endpoint_.port)),
        channels_(std::move(channels)),
        callbacks_(std::move(callbacks)),
        log_(std::move(log)),
        options_(options),
        backoff_(options.firstBackoff) {
    std::sort(channels_.begin(), channels_.end());
    channels_.erase(std::unique(channels_.begin(), channels_.end()), channels_.end());
  }

  // When the io_context went away before the teardown ran.
  ~Impl() {
    stopped_ = true;
    ++generation_;
    freeConnections();
  }

  void start() {
    asio::dispatch(strand_, [self = shared_from_this()] {
      if (self->state_ == State::idle && !self->stopped_) self->connect();
    });
  }

  void stop() {
    stopped_ = true;
    // Waits for a callback running on another thread; a callback calling stop() holds it already.
    { std::lock_guard lock(callbackMutex_); }
    asio::dispatch(strand_, [self = shared_from_this()] { self->teardown(); });
  }

  void command(std::vector<std::string> args, std::function<void(RedisReply)> done) {
    asio::dispatch(strand_, [self = shared_from_this(), args = std::move(args), done = std::move(done)]() mutable {
      self->issue(std::move(args), std::move(done));
    });
  }

  bool isConnected() const { return connected_; }

 private:
  enum class State { idle, connecting, up, waiting, stopped };

  // One hiredis context and the descriptor Asio watches for it. Lives until
  // hiredis has freed the context (cleanup and onDisconnect use it).
  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Impl& link, bool subscriber, std::uint64_t generation)
        : link(link), subscriber(subscriber), generation(generation), socket(link.io_) {}
    Impl& link;
    const bool subscriber;
    const std::uint64_t generation;
    redisAsyncContext* ac = nullptr;  // null once hiredis freed it
    asio::posix::stream_descriptor socket;
    bool wantRead = false, readArmed = false, wantWrite = false, writeArmed = false;
    redisReplyObjectFunctions* inner = nullptr;  // the reader's own reply functions
    redisReplyObjectFunctions guarded{};
  };

  struct Pending {
    std::function<void(RedisReply)> done;
  };

  // --- hiredis hooks, all called on the strand ---

  static Connection& of(void* data) { return *static_cast<Connection*>(data); }

  static void addRead(void* data) {
    Connection& c = of(data);
    c.wantRead = true;
    c.link.armRead(c);
  }
  static void delRead(void* data) { of(data).wantRead = false; }
  static void addWrite(void* data) {
    Connection& c = of(data);
    c.wantWrite = true;
    c.link.armWrite(c);
  }
  static void delWrite(void* data) { of(data).wantWrite = false; }
  static void cleanup(void* data) {
    Connection& c = of(data);
    c.ac = nullptr;
    c.wantRead = c.wantWrite = false;
    // hiredis closes the descriptor; release also cancels the waits.
    if (c.socket.is_open()) c.socket.release();
  }

  static void* guardedArray(const redisReadTask* task, int elements) {
    Connection& c = of(task->privdata);
    if (elements > c.link.options_.maxArrayElements) return nullptr;  // the reader fails as out of memory
    return c.inner->createArray(task, elements);
  }

  static void onConnect(const redisAsyncContext* ac, int status) {
    Connection& c = of(ac->data);
    if (status != REDIS_OK) {
      c.link.fail(c.generation, std::string("cannot connect: ") + (ac->errstr ? ac->errstr : "?"));
      return;
    }
    asio::post(c.link.strand_, [self = c.link.shared_from_this(), conn = c.shared_from_this()] {
      self->handshake(*conn);
    });
  }

  static void onDisconnect(const redisAsyncContext* ac, int status) {
    Connection& c = of(ac->data);
    c.link.fail(c.generation, status == REDIS_OK ? std::string("connection closed")
                                                 : std::string(ac->errstr ? ac->errstr : "connection failed"));
  }

  static void onReply(redisAsyncContext* ac, void* reply, void* privdata) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(privdata));
    Impl& link = of(ac->data).link;
    if (link.stopped_) return;
    RedisReply result = reply ? convert(static_cast<redisReply*>(reply), 0, link.options_.maxReplyDepth)
                              : RedisReply::unavailableReply();
    link.deliver([done = std::move(pending->done), result = std::move(result)]() mutable { done(std::move(result)); });
  }

  static void onSelected(redisAsyncContext* ac, void* reply, void*) {
    if (!reply) return;
    Connection& c = of(ac->data);
    const auto* r = static_cast<redisReply*>(reply);
    if (r->type == REDIS_REPLY_ERROR) {
      c.link.fail(c.generation, "SELECT failed: " + std::string(r->str, r->len));
      return;
    }
    if (c.generation != c.link.generation_) return;
    c.link.selected_ = true;
    c.link.checkReady();
  }

  static void onSubscription(redisAsyncContext* ac, void* reply, void*) {
    if (!reply) return;
    Connection& c = of(ac->data);
    Impl& link = c.link;
    const auto* r = static_cast<redisReply*>(reply);
    if (link.stopped_ || c.generation != link.generation_ || r->type != REDIS_REPLY_ARRAY || r->elements < 3) return;
    const redisReply* kind = r->element[0];
    if (kind->type != REDIS_REPLY_STRING) return;
    const std::string_view what(kind->str, kind->len);
    if (what == "subscribe") {
      ++link.subscribed_;
      link.checkReady();
    } else if (what == "message" && r->element[1]->type == REDIS_REPLY_STRING &&
               r->element[2]->type == REDIS_REPLY_STRING && link.callbacks_.message) {
      link.deliver([&link, channel = std::string(r->element[1]->str, r->element[1]->len),
                    payload = std::string(r->element[2]->str, r->element[2]->len)] {
        link.callbacks_.message(channel, payload);
      });
    }
  }

  // --- the link, on the strand ---

  void armRead(Connection& c) {
    if (c.readArmed || !c.ac) return;
    c.readArmed = true;
    c.socket.async_wait(asio::posix::stream_descriptor::wait_read,
                        asio::bind_executor(strand_, [self = shared_from_this(), conn = c.shared_from_this()](
                                                         const boost::system::error_code& ec) {
                          conn->readArmed = false;
                          if (ec || !conn->ac || !conn->wantRead) return;
                          redisAsyncHandleRead(conn->ac);  // may free the context
                          if (!conn->ac) return;
                          const redisReader* reader = conn->ac->c.reader;
                          if (reader && reader->len - reader->pos > self->options_.maxReplyBytes) {
                            self->fail(conn->generation, "reply too large");
                            return;
                          }
                          if (conn->wantRead) self->armRead(*conn);
                        }));
  }

  void armWrite(Connection& c) {
    if (c.writeArmed || !c.ac) return;
    c.writeArmed = true;
    c.socket.async_wait(asio::posix::stream_descriptor::wait_write,
                        asio::bind_executor(strand_, [self = shared_from_this(), conn = c.shared_from_this()](
                                                         const boost::system::error_code& ec) {
                          conn->writeArmed = false;
                          if (ec || !conn->ac || !conn->wantWrite) return;
                          redisAsyncHandleWrite(conn->ac);  // may free the context
                          if (conn->ac && conn->wantWrite) self->armWrite(*conn);
                        }));
  }

  // Runs `fn` on the strand later, unless stopped by then; never inside hiredis.
  void deliver(std::function<void()> fn) {
    asio::post(strand_, [self = shared_from_this(), fn = std::move(fn)] {
      std::lock_guard lock(self->callbackMutex_);
      if (!self->stopped_) fn();
    });
  }

  void connect() {
    state_ = State::connecting;
    const std::uint64_t generation = ++generation_;
    selected_ = false;
    subscribed_ = 0;
    timer_.expires_after(options_.connectTimeout);
    timer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this(), generation](
                                                       const boost::system::error_code& ec) {
      // The deadline may have passed just as the link came up.
      if (!ec && self->state_ == State::connecting) self->down(generation, "connecting timed out");
    }));
    resolver_.async_resolve(
        endpoint_.host, std::to_string(endpoint_.port),
        asio::bind_executor(strand_, [self = shared_from_this(), generation](
                                         const boost::system::error_code& ec,
                                         const asio::ip::tcp::resolver::results_type& results) {
          if (generation != self->generation_ || self->state_ != State::connecting) return;
          if (ec || results.empty()) {
            self->down(generation, "cannot resolve " + self->endpoint_.host + ": " + ec.message());
            return;
          }
          // A name may resolve to addresses the server does not listen on: each attempt takes the next.
          auto chosen = results.begin();
          std::advance(chosen, static_cast<std::ptrdiff_t>(self->attempts_++ % results.size()));
          self->open(chosen->endpoint().address().to_string());
        }));
  }

  void open(const std::string& address) {
    std::string error;
    cmd_ = openOne(address, false, error);
    if (cmd_ && !channels_.empty()) sub_ = openOne(address, true, error);
    if (!error.empty()) down(generation_, error);
  }

  std::shared_ptr<Connection> openOne(const std::string& address, bool subscriber, std::string& error) {
    redisAsyncContext* ac = redisAsyncConnect(address.c_str(), endpoint_.port);
    if (!ac) {
      error = "cannot allocate a connection";
      return nullptr;
    }
    if (ac->err) {
      error = std::string("cannot connect: ") + ac->errstr;
      redisAsyncFree(ac);
      return nullptr;
    }
    auto c = std::make_shared<Connection>(*this, subscriber, generation_);
    c->ac = ac;
    ac->data = c.get();
    c->socket.assign(ac->c.fd);
    c->inner = ac->c.reader->fn;
    c->guarded = *c->inner;
    c->guarded.createArray = guardedArray;
    ac->c.reader->fn = &c->guarded;
    ac->c.reader->privdata = c.get();
    ac->ev.data = c.get();
    ac->ev.addRead = addRead;
    ac->ev.delRead = delRead;
    ac->ev.addWrite = addWrite;
    ac->ev.delWrite = delWrite;
    ac->ev.cleanup = cleanup;
    redisAsyncSetDisconnectCallback(ac, onDisconnect);
    redisAsyncSetConnectCallback(ac, onConnect);  // waits for the socket to become writable
    return c;
  }

  void handshake(Connection& c) {
    if (c.generation != generation_ || state_ != State::connecting || !c.ac) return;
    std::vector<std::string> args;
    if (c.subscriber) {
      args.push_back("SUBSCRIBE");
      args.insert(args.end(), channels_.begin(), channels_.end());
    } else {
      args = {"SELECT", std::to_string(endpoint_.db)};
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& a : args) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    const int sent = redisAsyncCommandArgv(c.ac, c.subscriber ? onSubscription : onSelected, nullptr,
                                           static_cast<int>(argv.size()), argv.data(), lengths.data());
    if (sent != REDIS_OK) down(c.generation, "cannot send the handshake");
  }

  void checkReady() {
    if (state_ != State::connecting || !selected_ || subscribed_ < channels_.size()) return;
    state_ = State::up;
    connected_ = true;
    backoff_ = options_.firstBackoff;
    failureLogged_ = false;
    timer_.cancel();
    log_.notice("Redis link to %{public}s up", name_);
    if (callbacks_.connected) deliver(callbacks_.connected);
  }

  // Posted: hiredis may be inside the call that reported the failure.
  void fail(std::uint64_t generation, std::string reason) {
    if (stopped_) return;
    asio::post(strand_, [self = shared_from_this(), generation, reason = std::move(reason)] {
      self->down(generation, reason);
    });
  }

  void down(std::uint64_t generation, const std::string& reason) {
    if (generation != generation_ || (state_ != State::connecting && state_ != State::up)) return;
    const bool wasUp = state_ == State::up;
    state_ = State::waiting;
    connected_ = false;
    const std::uint64_t waiting = ++generation_;  // stale reports of this attempt are ignored
    resolver_.cancel();
    if (wasUp) {
      log_.error("Redis link to %{public}s lost: %{public}s", name_, reason);
      if (callbacks_.disconnected) deliver(callbacks_.disconnected);
    } else if (!failureLogged_) {
      log_.error("Redis link to %{public}s failed: %{public}s; retrying", name_, reason);
    } else {
      log_.debug("Redis link to %{public}s: retry failed: %{public}s", name_, reason);
    }
    failureLogged_ = true;
    freeConnections();  // pending commands get `unavailable`
    const auto delay = backoff_;
    backoff_ = std::min(backoff_ * 2, options_.maxBackoff);
    timer_.expires_after(delay);
    timer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this(), waiting](
                                                       const boost::system::error_code& ec) {
      if (!ec && waiting == self->generation_ && self->state_ == State::waiting) self->connect();
    }));
  }

  void teardown() {
    if (state_ == State::stopped) return;
    const bool wasConnected = state_ != State::idle;
    state_ = State::stopped;
    connected_ = false;
    ++generation_;
    timer_.cancel();
    resolver_.cancel();
    freeConnections();
    if (wasConnected) log_.info("Redis link to %{public}s stopped", name_);
  }

  void freeConnections() {
    for (std::shared_ptr<Connection>* slot : {&cmd_, &sub_}) {
      const std::shared_ptr<Connection> c = std::move(*slot);
      slot->reset();
      if (c && c->ac) redisAsyncFree(c->ac);  // runs pending callbacks without a reply, then cleanup
    }
  }

  void issue(std::vector<std::string> args, std::function<void(RedisReply)> done) {
    if (stopped_) return;
    if (auto why = refusal(args)) {
      deliver([done = std::move(done), why = std::move(*why)] { done(RedisReply::refusedReply(why)); });
      return;
    }
    if (state_ != State::up || !cmd_ || !cmd_->ac) {
      deliver([done = std::move(done)] { done(RedisReply::unavailableReply()); });
      return;
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(args.size());
    lengths.reserve(args.size());
    for (const std::string& a : args) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    auto pending = std::make_unique<Pending>(Pending{std::move(done)});
    if (redisAsyncCommandArgv(cmd_->ac, onReply, pending.get(), static_cast<int>(argv.size()), argv.data(),
                              lengths.data()) != REDIS_OK) {
      deliver([done = std::move(pending->done)] { done(RedisReply::unavailableReply()); });
      return;
    }
    pending.release();  // hiredis calls onReply exactly once, with the reply or without on teardown
  }

  asio::io_context& io_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::steady_timer timer_;  // connect deadline, then the back-off
  asio::ip::tcp::resolver resolver_;
  const RedisEndpoint endpoint_;
  const std::string name_;
  std::vector<std::string> channels_;
  const Callbacks callbacks_;
  const Logger log_;
  const RedisLinkOptions options_;

  // On the strand.
  State state_ = State::idle;
  std::uint64_t generation_ = 0;  // one per attempt and per wait, so late reports of an old one are ignored
  bool selected_ = false;
  std::size_t subscribed_ = 0;
  bool failureLogged_ = false;
  std::size_t attempts_ = 0;
  std::chrono::milliseconds backoff_;
  std::shared_ptr<Connection> cmd_;
  std::shared_ptr<Connection> sub_;

  // Any thread.
  std::atomic<bool> stopped_ = false;
  std::atomic<bool> connected_ = false;
  std::recursive_mutex callbackMutex_;  // held while a callback runs
};

RedisLink::RedisLink(asio::io_context& io, RedisEndpoint endpoint, std::vector<std::string> channels,
                     Callbacks callbacks, Logger log, RedisLinkOptions options)
    : impl_(std::make_shared<Impl>(io, std::move(endpoint), std::move(channels), std::move(callbacks), std::move(log),
                                   options)) {}

RedisLink::~RedisLink() { impl_->stop(); }

void RedisLink::start() { impl_->start(); }
void RedisLink::stop() { impl_->stop(); }
void RedisLink::command(std::vector<std::string> args, std::function<void(RedisReply)> done) {
  impl_->command(std::move(args), std::move(done));
}
bool RedisLink::isConnected() const { return impl_->isConnected(); }

}  // namespace orvane::server::cluster
