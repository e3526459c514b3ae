#include "OrvaneCore/signaling/websocket/BeastWebSocketTransport.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <map>
#include <thread>

#include "OrvaneCore/json/Utf8.h"
#include "OrvaneCore/net/Tls.h"

namespace orvane {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {


// A line break would let the value smuggle extra header fields.
bool validHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

std::chrono::steady_clock::duration toSteady(Seconds d) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(d);
}

std::exception_ptr lost() {
  return std::make_exception_ptr(TransportError(TransportError::Code::networkConnectionLost));
}

// Resolvers dropped unsettled (the transport went away) read as a lost connection.
Task<void> settled(OneShot<bool> shot) {
  try {
    co_await shot;
  } catch (const BrokenPromise&) {
    throw TransportError(TransportError::Code::networkConnectionLost);
  }
}

}  // namespace

struct BeastWebSocketTransport::Core {
  explicit Core(Options o) : options(std::move(o)) {}

  // Made on the first wss:// connection: it reads the system's CA bundle,
  // which a ws:// server never needs. Null, with `tlsError` saying why, when
  // it cannot be made. Under deliveryMutex.
  asio::ssl::context* clientTls() {
    if (!tls && tlsError.empty()) net::makeClientTlsContext(options.extraCaFile, tls, tlsError);
    return tls ? &*tls : nullptr;
  }

  // Runs `onText` or `onClose` for a connection of `generation`, unless a
  // newer connect() or the destructor came first. The lock makes both of
  // those wait for a callback that is already running.
  template <typename Pick, typename Arg>
  void deliver(std::uint64_t gen, Pick pick, Arg arg) {
    std::lock_guard lock(deliveryMutex);
    if (!owner || gen != generation) return;
    auto callback = pick(*owner);  // a copy: the callback may destroy the transport
    if (callback) callback(std::move(arg));
  }

  Options options;
  std::optional<asio::ssl::context> tls;  // declared before the io_context so that its streams go first
  std::string tlsError;
  asio::io_context ioc{1};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ioc);
  std::thread thread;

  std::recursive_mutex deliveryMutex;  // recursive: a callback may connect() or destroy the transport
  BeastWebSocketTransport* owner = nullptr;
  std::uint64_t generation = 0;
};

// Everything below runs on the io_context thread only.
class BeastWebSocketTransport::Connection : public std::enable_shared_from_this<Connection> {
 public:
  virtual ~Connection() = default;
  virtual void start() = 0;
  virtual void sendText(std::string text, Resolver<bool> done) = 0;
  virtual void sendPing(Resolver<bool> done) = 0;
  virtual void close() = 0;
};

namespace {

using Core = BeastWebSocketTransport::Core;
using PlainWs = websocket::stream<beast::tcp_stream>;
using TlsWs = websocket::stream<asio::ssl::stream<beast::tcp_stream>>;

// One connection, from resolving to its single onClose. Handlers hold it
// through shared_from_this, so it lives exactly as long as work is pending.
template <typename Ws>
class Session final : public BeastWebSocketTransport::Connection {
 public:
  template <typename... StreamArgs>
  Session(Core& core, std::uint64_t generation, Url url, std::string authorization, StreamArgs&&... streamArgs)
      : core_(core),
        generation_(generation),
        url_(std::move(url)),
        authorization_(std::move(authorization)),
        resolver_(core.ioc),
        ws_(std::forward<StreamArgs>(streamArgs)...),
        deadline_(core.ioc) {}

  // What start() reports instead of connecting.
  void refuse(std::string why) { refusal_ = std::move(why); }

  void start() override {
    if (!refusal_.empty()) return finish(refusal_);
    if (url_.scheme != "ws" && url_.scheme != "wss") return finish("Unsupported URL scheme \"" + url_.scheme + "\".");
    if (!validHeaderValue(authorization_)) return finish("The Authorization value contains a line break.");
    armDeadline(core_.options.handshakeTimeout);
    resolver_.async_resolve(url_.hostName(), std::to_string(url_.effectivePort()),
                            [self = self()](error_code ec, const tcp::resolver::results_type& results) {
                              self->onResolved(ec, results);
                            });
  }

  void sendText(std::string text, Resolver<bool> done) override {
    if (phase_ == Phase::closing || phase_ == Phase::done) {
      done.fail(lost());
      return;
    }
    outbox_.push_back(Outgoing{false, std::move(text), std::move(done)});
    pump();
  }

  void sendPing(Resolver<bool> done) override {
    if (phase_ == Phase::closing || phase_ == Phase::done) {
      done.fail(lost());
      return;
    }
    std::string payload = std::to_string(++pingCounter_);
    auto timer = std::make_unique<asio::steady_timer>(core_.ioc, toSteady(core_.options.pongTimeout));
    timer->async_wait([self = self(), payload](error_code ec) {
      if (!ec) self->settlePong(payload, std::make_exception_ptr(TransportError(TransportError::Code::timedOut)));
    });
    pongs_.emplace(payload, PendingPong{std::move(done), std::move(timer)});
    outbox_.push_back(Outgoing{true, std::move(payload), {}});
    pump();
  }

  void close() override {
    if (phase_ == Phase::connecting) {
      // The pending handshake step fails and reports the end.
      phase_ = Phase::closing;
      failPending();
      resolver_.cancel();
      beast::get_lowest_layer(ws_).close();
      return;
    }
    if (phase_ != Phase::open) return;
    phase_ = Phase::closing;
    failPending();
    armDeadline(core_.options.closeTimeout);
    if (!writing_) startClose();  // else once the write in flight completes
  }

 private:
  enum class Phase { connecting, open, closing, done };
  struct Outgoing {
    bool ping;
    std::string payload;
    Resolver<bool> done;  // empty for pings: they settle on their pong
  };
  struct PendingPong {
    Resolver<bool> done;
    std::unique_ptr<asio::steady_timer> timer;
  };

  std::shared_ptr<Session> self() { return std::static_pointer_cast<Session>(shared_from_this()); }

  // A handshake step that completed after close() or the deadline must not go on.
  error_code checked(error_code ec) const {
    if (!ec && (phase_ != Phase::connecting || timedOut_)) return asio::error::operation_aborted;
    return ec;
  }

  void onResolved(error_code ec, const tcp::resolver::results_type& results) {
    if ((ec = checked(ec))) return fail(ec);
    beast::get_lowest_layer(ws_).async_connect(
        results, [self = self()](error_code ec, const tcp::endpoint&) { self->onConnected(ec); });
  }

  void onConnected(error_code ec) {
    if ((ec = checked(ec))) return fail(ec);
    if constexpr (std::is_same_v<Ws, TlsWs>) {
      if (!net::prepareClientStream(ws_.next_layer(), url_.hostName())) return finish("The host name cannot be used for TLS.");
      ws_.next_layer().async_handshake(asio::ssl::stream_base::client,
                                       [self = self()](error_code ec) { self->onSecured(ec); });
    } else {
      upgrade();
    }
  }

  void onSecured(error_code ec) {
    if ((ec = checked(ec))) return fail(ec);
    upgrade();
  }

  void upgrade() {
    ws_.set_option(websocket::stream_base::decorator(
        [authorization = authorization_](websocket::request_type& request) {
          request.set(http::field::authorization, authorization);
        }));
    ws_.read_message_max(core_.options.readLimit);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
      if (kind == websocket::frame_type::pong) settlePong(std::string(payload), nullptr);
    });
    std::string host = url_.host;
    if (url_.port) host += ":" + std::to_string(*url_.port);
    ws_.async_handshake(response_, host, url_.target(), [self = self()](error_code ec) { self->onUpgraded(ec); });
  }

  void onUpgraded(error_code ec) {
    ec = checked(ec);
    if (ec == websocket::error::upgrade_declined) {
      return finish("The server refused the WebSocket upgrade (HTTP " + std::to_string(response_.result_int()) + ").");
    }
    if (ec) return fail(ec);
    phase_ = Phase::open;
    deadline_.cancel();
    response_ = {};
    read();
    pump();
  }

  void read() {
    ws_.async_read(buffer_, [self = self()](error_code ec, std::size_t) { self->onRead(ec); });
  }

  void onRead(error_code ec) {
    if (ec) return fail(ec);
    if (phase_ == Phase::done) return;
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    // After close() only the end is reported, as a cancelled connection would.
    if (phase_ == Phase::open) {
      core_.deliver(
          generation_, [](WebSocketTransport& t) { return t.onText; },
          ws_.got_text() ? std::move(text) : repairingUtf8(text));
    }
    read();
  }

  void pump() {
    if (writing_ || phase_ != Phase::open || outbox_.empty()) return;
    writing_ = true;
    Outgoing& next = outbox_.front();
    if (next.ping) {
      ws_.async_ping(websocket::ping_data(next.payload.data(), next.payload.size()),
                     [self = self()](error_code ec) { self->onWritten(ec); });
    } else {
      ws_.async_write(asio::buffer(next.payload), [self = self()](error_code ec, std::size_t) { self->onWritten(ec); });
    }
  }

  void onWritten(error_code ec) {
    writing_ = false;
    Outgoing item = std::move(outbox_.front());
    outbox_.pop_front();
    auto error = ec ? std::make_exception_ptr(boost::system::system_error(ec)) : nullptr;
    if (item.ping) {
      if (error) settlePong(item.payload, error);
    } else if (error) {
      item.done.fail(error);
    } else {
      item.done.resolve(true);
    }
    if (phase_ == Phase::closing && !closeStarted_) return startClose();
    pump();
  }

  void settlePong(const std::string& payload, std::exception_ptr error) {
    auto it = pongs_.find(payload);
    if (it == pongs_.end()) return;  // unsolicited, or already settled
    PendingPong pong = std::move(it->second);
    pongs_.erase(it);
    pong.timer->cancel();
    if (error) {
      pong.done.fail(error);
    } else {
      pong.done.resolve(true);
    }
  }

  // Fails everything not yet on the wire; the write in flight settles itself.
  void failPending() {
    auto queued = outbox_.begin() + (writing_ ? 1 : 0);
    for (auto it = queued; it != outbox_.end(); ++it) it->done.fail(lost());
    outbox_.erase(queued, outbox_.end());
    while (!pongs_.empty()) settlePong(pongs_.begin()->first, lost());
  }

  void startClose() {
    closeStarted_ = true;
    // The pending read completes once the close handshake is done; it reports.
    ws_.async_close(websocket::close_code::normal, [self = self()](error_code) {});
  }

  void armDeadline(Seconds after) {
    deadline_.expires_after(toSteady(after));
    deadline_.async_wait([self = self(), armed = ++deadlineArmed_](error_code ec) {
      if (!ec && armed == self->deadlineArmed_) self->onDeadline();
    });
  }

  void onDeadline() {
    if (phase_ == Phase::connecting) {
      timedOut_ = true;
    } else if (phase_ != Phase::closing) {
      return;
    }
    // Pending operations end with an error, and the failure path reports.
    resolver_.cancel();
    beast::get_lowest_layer(ws_).close();
  }

  void fail(error_code ec) { finish(timedOut_ ? TransportError(TransportError::Code::timedOut).what() : ec.message()); }

  void finish(std::string description) {
    if (phase_ == Phase::done) return;
    phase_ = Phase::done;
    ++deadlineArmed_;
    deadline_.cancel();
    resolver_.cancel();
    beast::get_lowest_layer(ws_).close();
    failPending();
    core_.deliver(
        generation_, [](WebSocketTransport& t) { return t.onClose; }, std::optional<std::string>(std::move(description)));
  }

  Core& core_;  // outlives every session: the io thread holds it while handlers run
  const std::uint64_t generation_;
  const Url url_;
  const std::string authorization_;
  std::string refusal_;
  tcp::resolver resolver_;
  Ws ws_;
  asio::steady_timer deadline_;
  std::uint64_t deadlineArmed_ = 0;
  websocket::response_type response_;
  beast::flat_buffer buffer_;
  Phase phase_ = Phase::connecting;
  bool timedOut_ = false;
  bool writing_ = false;
  bool closeStarted_ = false;
  std::deque<Outgoing> outbox_;  // Beast allows one write at a time; pings queue with texts
  std::map<std::string, PendingPong> pongs_;
  std::uint64_t pingCounter_ = 0;
};

}  // namespace

BeastWebSocketTransport::BeastWebSocketTransport() : BeastWebSocketTransport(Options{}) {}

BeastWebSocketTransport::BeastWebSocketTransport(Options options)
    : core_(std::make_shared<Core>(std::move(options))) {
  core_->owner = this;
  core_->thread = std::thread([core = core_] { core->ioc.run(); });
}

BeastWebSocketTransport::~BeastWebSocketTransport() {
  {
    std::lock_guard lock(core_->deliveryMutex);  // waits for a callback running on the io thread
    core_->owner = nullptr;
  }
  core_->work.reset();
  core_->ioc.stop();
  if (core_->thread.get_id() == std::this_thread::get_id()) {
    core_->thread.detach();  // destroyed from a callback: the thread ends once it returns
  } else {
    core_->thread.join();
  }
  std::lock_guard lock(mutex_);
  current_.reset();
}

void BeastWebSocketTransport::connect(const Url& url, std::string authorization) {
  std::shared_ptr<Connection> next, replaced;
  {
    std::lock_guard delivery(core_->deliveryMutex);
    const std::uint64_t generation = ++core_->generation;
    asio::ssl::context* tls = url.scheme == "wss" ? core_->clientTls() : nullptr;
    if (tls) {
      next = std::make_shared<Session<TlsWs>>(*core_, generation, url, std::move(authorization), core_->ioc, *tls);
    } else if (url.scheme == "wss") {
      auto refused = std::make_shared<Session<PlainWs>>(*core_, generation, url, std::move(authorization), core_->ioc);
      refused->refuse(core_->tlsError);
      next = std::move(refused);
    } else {
      next = std::make_shared<Session<PlainWs>>(*core_, generation, url, std::move(authorization), core_->ioc);
    }
    std::lock_guard lock(mutex_);
    replaced = std::exchange(current_, next);
    open_ = true;
  }
  // Closed rather than dropped, so the server is not left holding a socket;
  // its generation is stale, so it reports nothing. Moved into the handler,
  // so that its last reference goes on the io thread.
  if (replaced) asio::post(core_->ioc, [replaced = std::move(replaced)] { replaced->close(); });
  asio::post(core_->ioc, [next] { next->start(); });
}

// The waiting task holds only the one-shot: a connection must never outlive
// the io_context, which the destructor tears down.
OneShot<bool> BeastWebSocketTransport::postToCurrent(TransportError::Code withoutConnection,
                                                     std::function<void(Connection&, Resolver<bool>)> work) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard lock(mutex_);
    if (open_) connection = current_;
  }
  if (!connection) throw TransportError(withoutConnection);
  auto shot = makeOneShot<bool>();
  asio::post(core_->ioc, [connection = std::move(connection), work = std::move(work), done = std::move(shot.first)] {
    work(*connection, done);
  });
  return std::move(shot.second);
}

// Kept out of the co_await expressions: GCC 12 mishandles capturing lambdas there.
Task<void> BeastWebSocketTransport::send(std::string text) {
  OneShot<bool> written = postToCurrent(TransportError::Code::badServerResponse,
                                        [text = std::move(text)](Connection& connection, Resolver<bool> done) {
                                          connection.sendText(text, std::move(done));
                                        });
  co_await settled(std::move(written));
}

Task<void> BeastWebSocketTransport::sendPing() {
  OneShot<bool> pong = postToCurrent(TransportError::Code::networkConnectionLost,
                                     [](Connection& connection, Resolver<bool> done) { connection.sendPing(std::move(done)); });
  co_await settled(std::move(pong));
}

void BeastWebSocketTransport::close() {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    open_ = false;
    connection = std::move(current_);
  }
  asio::post(core_->ioc, [connection = std::move(connection)] { connection->close(); });
}

}  // namespace orvane
