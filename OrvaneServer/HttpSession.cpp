#include "OrvaneServer/HttpSession.h"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cmath>
#include <optional>
#include <type_traits>

#include "OrvaneServer/TlsStream.h"
#include "OrvaneServer/WebRules.h"
#include "OrvaneServer/WsSession.h"

namespace orvane::server {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using TlsStream = TlsServerStream;

constexpr std::string_view kWsPath = "/v1/ws";
constexpr std::string_view kAuthPath = "/v1/auth/apple";
constexpr std::string_view kNoWebPad =
    "orvane-signal is running. The web pad is not installed on this server (see --web-root).\n";

std::string describe(const tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(endpoint.port());
}

// One key per IPv4 address; per /64 for IPv6, which is what one subscriber
// usually holds.
std::string sourceKey(const net::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  net::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
  net::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return net::ip::address_v6(bytes).to_string() + "/64";
}

template <class Stream>
class HttpSession final : public Connection, public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  template <class... Args>
  HttpSession(ServerCore& core, std::string peer, std::string source, Args&&... args)
      : core_(core),
        stream_(std::forward<Args>(args)...),
        executor_(stream_.get_executor()),
        peer_(std::move(peer)),
        source_(std::move(source)) {}

  ~HttpSession() override {
    if (connection_ != 0) core_.removeConnection(connection_);
  }

  void run() {
    connection_ = core_.addConnection(this->weak_from_this());
    if (connection_ == 0) {
      core_.httpLog.info("refused connection from %{public}s: server full or stopping", peer_);
      return;
    }
    net::dispatch(executor_, [self = this->shared_from_this()] { self->start(); });
  }

  void postShutdown() override {
    net::post(executor_, [self = this->shared_from_this()] {
      if (!self->upgraded_) beast::get_lowest_layer(self->stream_).close();
    });
  }

 private:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  void start() {
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).expires_after(core_.options.timeouts.handshake);
      stream_.async_handshake([self = this->shared_from_this()](beast::error_code ec) {
        if (ec)
          return self->core_.httpLog.debug("TLS handshake with %{public}s failed: %{public}s", self->peer_,
                                           ec.message());
        self->readRequest();
      });
    } else {
      readRequest();
    }
  }

  void readRequest() {
    head_ = false;
    parser_.emplace();
    parser_->header_limit(limits::kMaxHeaderBytes);
    parser_->body_limit(limits::kMaxBodyBytes);
    beast::get_lowest_layer(stream_).expires_after(core_.options.timeouts.request);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream) return closeConnection();
    if (ec == http::error::header_limit) return sendText(http::status::request_header_fields_too_large, "", false);
    if (ec == http::error::body_limit) return sendText(http::status::payload_too_large, "", false);
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category()) {
      return sendText(http::status::bad_request, "", false);
    }
    if (ec) return;  // time-out or connection gone: nothing to answer
    HttpRequest request = parser_->release();
    parser_.reset();
    handle(std::move(request));
  }

  void handle(HttpRequest request) {
    keepAlive_ = request.keep_alive();
    head_ = request.method() == http::verb::head;
    std::string_view path = targetPath(request.target());
    if (path == kWsPath) {
      if (beast::websocket::is_upgrade(request)) return upgrade(std::move(request));
      return sendText(http::status::upgrade_required, "WebSocket only\n", keepAlive_);
    }
    if (path == kAuthPath) return account(request);
    if (request.method() != http::verb::get && !head_) {
      return sendText(http::status::method_not_allowed, "", keepAlive_, "GET, HEAD");
    }
    serveFile(request);
  }

  void upgrade(HttpRequest request) {
    if (auto wait = core_.signInWait(source_)) return refuseSignIn(*wait, false);
    std::string protocols;
    auto offered = request.equal_range(http::field::sec_websocket_protocol);
    for (auto it = offered.first; it != offered.second; ++it) {
      if (!protocols.empty()) protocols += ',';
      protocols.append(it->value());
    }
    WsCredentials credentials = readWsCredentials(request[http::field::authorization], protocols);
    std::optional<SessionIdentity> identity;
    if (credentials.token) {
      try {
        identity = core_.auth.authenticate(*credentials.token);
      } catch (const std::exception& e) {
        // The accounts could not be read: not a failed sign-in, and worth retrying.
        core_.httpLog.error("authenticate failed: %{public}s", e.what());
        return sendText(http::status::service_unavailable, "accounts unavailable, try again\n", false);
      }
    }
    if (!identity) {
      signInFailed(credentials.token ? "unknown session token" : "no session token");
      return sendText(http::status::unauthorized, "session token required\n", false);
    }
    std::optional<SocketId> id = core_.admit(*identity);
    if (!id) {
      core_.wsLog.info("refused %{public}s: user %{public}s has too many sockets", peer_, printable(identity->userId));
      return sendText(http::status::too_many_requests, "too many connections for this account\n", false);
    }
    // The WebSocket keeps its own time-outs from here on.
    beast::get_lowest_layer(stream_).expires_never();
    upgraded_ = true;  // the stream is the WebSocket's from here on
    startWsSession(core_, std::move(stream_), std::move(request),
                   WsPeer{*id, identity->userId, peer_, std::move(credentials.subprotocol)});
  }

  void account(const HttpRequest& request) {
    if (request.method() == http::verb::post || request.method() == http::verb::delete_) {
      if (auto wait = core_.signInWait(source_)) return refuseSignIn(*wait, true);
    }
    HttpReply reply{500, {}};
    try {
      if (request.method() == http::verb::post) {
        reply = core_.auth.exchange(request.body());
      } else if (request.method() == http::verb::delete_) {
        reply = core_.auth.deleteAccount(request[http::field::authorization]);
      } else {
        return sendText(http::status::method_not_allowed, "", keepAlive_, "POST, DELETE");
      }
    } catch (const std::exception& e) {
      core_.httpLog.error("%{public}s %{public}s failed: %{public}s", std::string(request.method_string()), kAuthPath,
                          e.what());
      reply = HttpReply{500, {}};
    }
    if (reply.status < 100 || reply.status > 599) reply.status = 500;
    if (reply.status == 401) signInFailed("account request refused");
    core_.httpLog.info("%{public}s %{public}s from %{public}s: %{public}u", std::string(request.method_string()),
                       kAuthPath, peer_, reply.status);
    auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(reply.status), 11);
    if (!reply.body.empty()) res->set(http::field::content_type, "application/json");
    res->set(http::field::cache_control, "no-store");
    res->body() = std::move(reply.body);
    send(std::move(res), keepAlive_);
  }

  void serveFile(const HttpRequest& request) {
    std::optional<std::filesystem::path> file;
    if (core_.webRoot) file = resolveStaticFile(*core_.webRoot, request.target());
    if (!core_.webRoot && targetPath(request.target()) == "/") {
      return sendText(http::status::ok, kNoWebPad, keepAlive_);
    }
    http::file_body::value_type body;
    beast::error_code ec;
    if (file) body.open(file->c_str(), beast::file_mode::scan, ec);
    if (!file || ec) return sendText(http::status::not_found, "not found\n", keepAlive_);

    const std::uint64_t size = body.size();
    auto decorate = [&](auto& res) {
      res.set(http::field::content_type, contentType(*file));
      res.set(http::field::cache_control, "no-cache");
      res.set("X-Content-Type-Options", "nosniff");
      res.content_length(size);
    };
    if (head_) {
      auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
      decorate(*res);
      return send(std::move(res), keepAlive_);
    }
    auto res = std::make_shared<http::response<http::file_body>>(
        std::piecewise_construct, std::make_tuple(std::move(body)), std::make_tuple(http::status::ok, 11));
    decorate(*res);
    send(std::move(res), keepAlive_);
  }

  // Counted against the source; logged once per source and window, not per attempt.
  void signInFailed(std::string_view why) {
    std::optional<std::uint64_t> count = core_.signInFailed(source_);
    if (!count) return;
    if (*count == 1) return core_.wsLog.info("refused %{public}s: %{public}s", peer_, why);
    core_.wsLog.info(
        "refused %{public}s: %{public}s (%{public}llu failed sign-ins from %{public}s since the last line)", peer_, why,
        *count, source_);
  }

  // Credentials are not even looked at: guessing them stays slow and costs the server little.
  void refuseSignIn(double wait, bool json) {
    signInFailed("too many failed sign-ins");
    auto res = std::make_shared<http::response<http::string_body>>(http::status::too_many_requests, 11);
    res->set(http::field::content_type, json ? "application/json" : "text/plain; charset=utf-8");
    res->set(http::field::retry_after, std::to_string(static_cast<long long>(std::ceil(wait))));
    res->body() = json ? R"({"error":"too_many_requests"})" : "too many failed sign-ins, try again later\n";
    send(std::move(res), false);
  }

  void sendText(http::status status, std::string_view text, bool keepAlive, std::string_view allow = {}) {
    auto res = std::make_shared<http::response<http::string_body>>(status, 11);
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    if (!allow.empty()) res->set(http::field::allow, allow);
    if (status == http::status::unauthorized) res->set(http::field::www_authenticate, "Bearer");
    res->body() = std::string(text);
    res->prepare_payload();
    // A HEAD answer announces the length of the body it leaves out.
    if (head_) res->body().clear();
    send(std::move(res), keepAlive);
  }

  template <class Body>
  void send(std::shared_ptr<http::response<Body>> res, bool keepAlive) {
    res->set(http::field::server, "orvane-signal");
    res->keep_alive(keepAlive);
    if constexpr (std::is_same_v<Body, http::string_body>) {
      if (!head_) res->prepare_payload();
    }
    http::response<Body>& message = *res;
    http::async_write(stream_, message,
                      [self = this->shared_from_this(), res = std::move(res)](beast::error_code ec, std::size_t) {
                        if (ec) return;
                        if (!res->keep_alive()) return self->closeConnection();
                        self->readRequest();
                      });
  }

  void closeConnection() {
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).expires_after(core_.options.timeouts.handshake);
      stream_.async_shutdown(
          [self = this->shared_from_this()](beast::error_code) { beast::get_lowest_layer(self->stream_).close(); });
    } else {
      beast::error_code ec;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    }
  }

  ServerCore& core_;
  Stream stream_;
  net::any_io_executor executor_;  // kept: the stream moves away on upgrade
  beast::flat_buffer buffer_{limits::kMaxHeaderBytes + limits::kMaxBodyBytes};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string peer_;
  std::string source_;  // whose failed sign-ins count together
  std::uint64_t connection_ = 0;
  bool keepAlive_ = false;
  bool head_ = false;
  bool upgraded_ = false;
};

}  // namespace

void startHttpSession(ServerCore& core, tcp::socket socket) {
  beast::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  std::string peer = ec ? std::string("?") : describe(endpoint);
  std::string source = ec ? std::string("?") : sourceKey(endpoint.address());
  if (core.options.tls) {
    std::make_shared<HttpSession<TlsStream>>(core, std::move(peer), std::move(source), std::move(socket),
                                             *core.options.tls)
        ->run();
  } else {
    std::make_shared<HttpSession<beast::tcp_stream>>(core, std::move(peer), std::move(source), std::move(socket))
        ->run();
  }
}

}  // namespace orvane::server
