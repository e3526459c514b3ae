#include "OrvaneCore/identity/AppleAuthClient.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneCore/net/Tls.h"

namespace orvane {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;
using Reason = AuthTransportError::Reason;

Url authBaseURL(const Url& signalingServerURL) {
  Url base = signalingServerURL;
  if (base.scheme == "ws") {
    base.scheme = "http";
  } else if (base.scheme == "wss") {
    base.scheme = "https";
  }
  base.path.clear();
  return base;
}

namespace {

constexpr std::string_view kAuthPath = "/v1/auth/apple";
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;

struct HttpCall {
  http::verb method;
  Url url;
  std::string authorization;  // header value; empty for none
  std::string body;           // JSON; empty for none
};

struct HttpReply {
  unsigned status = 0;
  std::string body;
};

std::exception_ptr transportError(Reason reason, std::string description) {
  return std::make_exception_ptr(AuthTransportError(reason, std::move(description)));
}

std::exception_ptr cancelledError() {
  return transportError(Reason::cancelled, "The request was cancelled: the auth client was shut down");
}

// Visible ASCII only: what can stand in a request line or a header value
// without being able to end it early.
bool visibleAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// A session token travels as "Bearer <token>" in a header; anything else
// would break the header or inject a new one.
bool usableAsBearer(std::string_view token) { return !token.empty() && visibleAscii(token); }

std::string authority(const Url& url) {
  std::string out = url.host;
  if (url.port && *url.port != (url.secure() ? 443 : 80)) out += ":" + std::to_string(*url.port);
  return out;
}

// One request on its own connection, driven by the engine's I/O thread. Every
// handler holds the call; a finished call ignores whatever completes later.
class Call : public std::enable_shared_from_this<Call> {
 public:
  Call(asio::io_context& io, ssl::context* tls, const HttpCall& call, Resolver<HttpReply> reply, std::size_t maxBody)
      : resolver_(io),
        socket_(io),
        buffer_(kMaxHeaderBytes + maxBody),
        reply_(std::move(reply)),
        host_(call.url.hostName()),
        port_(call.url.effectivePort()) {
    if (tls != nullptr) tls_.emplace(socket_, *tls);
    request_.method(call.method);
    request_.target(call.url.target());
    request_.version(11);
    request_.set(http::field::host, authority(call.url));
    request_.set(http::field::user_agent, "Orvane");
    if (!call.authorization.empty()) request_.set(http::field::authorization, call.authorization);
    if (!call.body.empty()) {
      request_.set(http::field::content_type, "application/json");
      request_.body() = call.body;
    }
    request_.prepare_payload();
    parser_.header_limit(kMaxHeaderBytes);
    parser_.body_limit(maxBody);
  }
  ~Call() { reply_.fail(cancelledError()); }  // no-op once settled

  void start() {
    resolver_.async_resolve(host_, std::to_string(port_),
                            [self = shared_from_this()](error_code ec, const tcp::resolver::results_type& results) {
                              self->onResolved(ec, results);
                            });
  }

  void abort(std::exception_ptr why) {
    if (finished_) return;
    finish();
    reply_.fail(std::move(why));
  }

 private:
  template <typename Fn>
  void withStream(Fn&& fn) {
    if (tls_) {
      fn(*tls_);
    } else {
      fn(socket_);
    }
  }

  void onResolved(error_code ec, const tcp::resolver::results_type& results) {
    if (finished_) return;
    if (ec) return fail(Reason::resolve, "Could not resolve " + host_ + ": " + ec.message());
    asio::async_connect(socket_, results,
                        [self = shared_from_this()](error_code ec, const tcp::endpoint&) { self->onConnected(ec); });
  }

  void onConnected(error_code ec) {
    if (finished_) return;
    if (ec)
      return fail(Reason::connect, "Could not connect to " + host_ + ":" + std::to_string(port_) + ": " + ec.message());
    if (!tls_) return send();
    if (!net::prepareClientStream(*tls_, host_)) return fail(Reason::tls, "TLS refused the server name " + host_);
    tls_->async_handshake(ssl::stream_base::client, [self = shared_from_this()](error_code ec) {
      if (self->finished_) return;
      if (ec) return self->fail(Reason::tls, "TLS handshake with " + self->host_ + " failed: " + ec.message());
      self->send();
    });
  }

  void send() {
    withStream([this](auto& stream) {
      http::async_write(stream, request_,
                        [self = shared_from_this()](error_code ec, std::size_t) { self->onSent(ec); });
    });
  }

  void onSent(error_code ec) {
    if (finished_) return;
    if (ec) return fail(Reason::send, "Sending the request failed: " + ec.message());
    // The header alone first: Beast 1.74 reading eagerly skips its own
    // Content-Length check against the body limit.
    withStream([this](auto& stream) {
      http::async_read_header(stream, buffer_, parser_,
                              [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
    });
  }

  void onHeader(error_code ec) {
    if (finished_) return;
    if (ec || parser_.is_done()) return onReceived(ec);
    withStream([this](auto& stream) {
      http::async_read(stream, buffer_, parser_,
                       [self = shared_from_this()](error_code ec, std::size_t) { self->onReceived(ec); });
    });
  }

  void onReceived(error_code ec) {
    if (finished_) return;
    if (ec == http::error::end_of_stream) {
      return fail(Reason::receive, "The server closed the connection without answering");
    }
    if (ec && ec != http::error::partial_message &&
        ec.category() == http::make_error_code(http::error::bad_version).category()) {
      // Bytes came back but are not an HTTP answer within our limits.
      finish();
      reply_.fail(std::make_exception_ptr(AppleAuthError::malformedResponse()));
      return;
    }
    if (ec) return fail(Reason::receive, "Reading the answer failed: " + ec.message());
    finish();
    reply_.resolve(HttpReply{parser_.get().result_int(), std::move(parser_.get().body())});
  }

  void fail(Reason reason, std::string description) {
    finish();
    reply_.fail(transportError(reason, std::move(description)));
  }

  void finish() {
    finished_ = true;
    resolver_.cancel();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  tcp::resolver resolver_;
  tcp::socket socket_;
  std::optional<ssl::stream<tcp::socket&>> tls_;
  boost::beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response_parser<http::string_body> parser_;
  Resolver<HttpReply> reply_;
  std::string host_;
  std::uint16_t port_;
  bool finished_ = false;
};

}  // namespace

// The I/O thread and the calls on it. Shared with pending time-out callbacks
// so that one firing after the client is gone finds it stopped, not freed.
class AppleAuthClient::Engine {
 public:
  explicit Engine(std::string extraCaFile) : extraCaFile_(std::move(extraCaFile)), work_(asio::make_work_guard(io_)) {
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Engine() { shutdown(); }

  std::weak_ptr<Call> start(const HttpCall& call, Resolver<HttpReply> reply, std::size_t maxBody) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      reply.fail(cancelledError());
      return {};
    }
    ssl::context* tls = nullptr;
    if (call.url.secure()) {
      makeTlsOnce();
      if (!tls_) {
        reply.fail(transportError(Reason::tls, tlsError_));
        return {};
      }
      tls = &*tls_;
    }
    auto running = std::make_shared<Call>(io_, tls, call, std::move(reply), maxBody);
    asio::post(io_, [this, running] {
      std::erase_if(calls_, [](const std::weak_ptr<Call>& c) { return c.expired(); });
      calls_.push_back(running);
      running->start();
    });
    return running;
  }

  void abort(const std::weak_ptr<Call>& call, std::exception_ptr why) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    asio::post(io_, [call, why] {
      if (auto running = call.lock()) running->abort(why);
    });
  }

  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    asio::post(io_, [this] {
      for (auto& call : calls_) {
        if (auto running = call.lock()) running->abort(cancelledError());
      }
      calls_.clear();
    });
    work_.reset();
    if (thread_.joinable()) thread_.join();
  }

 private:
  // On the first https:// call: it reads the system's CA bundle, which a
  // plain-HTTP server never needs. Under mutex_.
  void makeTlsOnce() {
    if (!tls_ && tlsError_.empty()) net::makeClientTlsContext(extraCaFile_, tls_, tlsError_);
  }

  const std::string extraCaFile_;
  asio::io_context io_;
  std::optional<ssl::context> tls_;
  std::string tlsError_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::mutex mutex_;
  bool stopped_ = false;
  std::vector<std::weak_ptr<Call>> calls_;  // I/O thread only
};

namespace {

void validate(const HttpCall& call) {
  if (call.url.scheme != "http" && call.url.scheme != "https") {
    throw AuthTransportError(Reason::invalidRequest,
                             "Unsupported URL scheme \"" + call.url.scheme + "\" for the auth server");
  }
  if (call.url.host.empty() || !visibleAscii(call.url.host) || !visibleAscii(call.url.target())) {
    throw AuthTransportError(Reason::invalidRequest, "The auth server URL cannot be sent in an HTTP request");
  }
}

Task<HttpReply> perform(std::shared_ptr<AppleAuthClient::Engine> engine, Executor& executor,
                        AppleAuthClientOptions options, HttpCall call) {
  validate(call);
  auto [resolver, reply] = makeOneShot<HttpReply>();
  const std::string host = call.url.hostName();
  std::weak_ptr<Call> running = engine->start(call, std::move(resolver), options.maxResponseBytes);
  TimerHandle deadline = executor.postAfter(options.timeout, [engine, running, host] {
    engine->abort(running, transportError(Reason::timedOut, "The request to " + host + " timed out"));
  });
  try {
    co_return co_await reply;
  } catch (const TaskCancelled&) {
    engine->abort(running, cancelledError());  // frees the connection now rather than at the time-out
    throw;
  }
}

AppleAuthResult decodeResult(std::string_view body) {
  auto parsed = parseJsonObject(body);
  if (!parsed) throw AppleAuthError::malformedResponse();
  JsonObjectReader reader(*parsed.value().asObject());
  std::optional<std::string> sessionToken = reader.requireString("sessionToken");
  std::optional<std::string> userId = reader.requireString("userId");
  if (!reader || !usableAsBearer(*sessionToken)) throw AppleAuthError::malformedResponse();
  return AppleAuthResult{std::move(*sessionToken), std::move(*userId)};
}

}  // namespace

AppleAuthClient::AppleAuthClient(Url baseURL, Executor& executor, AppleAuthClientOptions options)
    : baseURL_(std::move(baseURL)),
      executor_(executor),
      options_(std::move(options)),
      engine_(std::make_shared<Engine>(options_.extraCaFile)) {}

AppleAuthClient::~AppleAuthClient() { engine_->shutdown(); }

// After the first suspension these coroutines touch no member: the client may
// be gone by the time the answer arrives.
Task<AppleAuthResult> AppleAuthClient::exchange(std::string appleIdentityToken, std::string deviceId, std::string role,
                                                std::string deviceName) {
  JsonWriter writer;
  writer.beginObject();
  writer.key("appleIdentityToken");
  writer.string(appleIdentityToken);
  writer.key("deviceId");
  writer.string(deviceId);
  writer.key("role");
  writer.string(role);
  writer.key("deviceName");
  writer.string(deviceName);
  writer.endObject();
  HttpCall call{http::verb::post, baseURL_.appendingPath(kAuthPath), {}, std::move(writer).finish().value()};
  HttpReply reply = co_await perform(engine_, executor_, options_, std::move(call));
  if (reply.status != 200) throw AppleAuthError::http(static_cast<int>(reply.status));
  co_return decodeResult(reply.body);
}

Task<void> AppleAuthClient::deleteAccount(std::string sessionToken) {
  if (!usableAsBearer(sessionToken)) {
    throw AuthTransportError(Reason::invalidRequest, "The session token holds characters an HTTP header cannot carry");
  }
  HttpCall call{http::verb::delete_, baseURL_.appendingPath(kAuthPath), "Bearer " + sessionToken, {}};
  HttpReply reply = co_await perform(engine_, executor_, options_, std::move(call));
  if (reply.status != 200 && reply.status != 204 && reply.status != 404) {
    throw AppleAuthError::http(static_cast<int>(reply.status));
  }
}

}  // namespace orvane
