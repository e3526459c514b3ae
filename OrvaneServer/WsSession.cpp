#include "OrvaneServer/WsSession.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>

#include "OrvaneServer/TlsStream.h"

namespace orvane::server {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;

// One WebSocket: reads frames into the hub, writes what the hub sends it, one
// write at a time from a bounded queue. Everything runs on the socket's strand.
template <class Stream>
class WsSession final : public WsLink, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(ServerCore& core, Stream&& stream, WsPeer peer)
      : core_(core), ws_(std::move(stream)), peer_(std::move(peer)) {}

  ~WsSession() override {
    if (!finished_ && open_) core_.wsLog.info("ws#%{public}llu closed: cut off at server stop", peer_.id);
    if (!finished_) core_.closed(peer_.id);
    if (connection_ != 0) core_.removeConnection(connection_);
  }

  void run(HttpRequest request) {
    connection_ = core_.addConnection(this->weak_from_this());
    if (connection_ == 0) return;  // stopping
    core_.attach(peer_.id, this->weak_from_this());

    const ServerTimeouts& t = core_.options.timeouts;
    ws_.set_option(websocket::stream_base::timeout{t.handshake, t.idle, true});
    ws_.set_option(websocket::stream_base::decorator([protocol = peer_.subprotocol](websocket::response_type& res) {
      res.set(http::field::server, "orvane-signal");
      if (!protocol.empty()) res.set(http::field::sec_websocket_protocol, protocol);
    }));
    ws_.read_message_max(limits::kMaxFrameBytes);
    ws_.auto_fragment(false);  // one frame per message: peers get whole frames without reassembly
    // Pings and pongs keep a host's lastSeen fresh and count against the rate.
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::close && !closing_) core_.control(peer_.id);
    });
    ws_.async_accept(request, beast::bind_front_handler(&WsSession::onAccept, this->shared_from_this()));
  }

  void postFrame(std::shared_ptr<const std::string> frame) override {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), frame = std::move(frame)]() mutable { self->queue(std::move(frame)); });
  }

  void postClose(std::uint16_t code, std::string reason) override {
    net::post(ws_.get_executor(), [self = this->shared_from_this(), code, reason = std::move(reason)]() mutable {
      self->closeWith(code, std::move(reason));
    });
  }

  void postShutdown() override { postClose(websocket::close_code::going_away, "server stopping"); }

 private:
  void onAccept(beast::error_code ec) {
    if (ec) return finish(ec);
    open_ = true;
    core_.wsLog.info("ws#%{public}llu opened for user %{public}s from %{public}s", peer_.id, printable(peer_.userId),
                     peer_.address);
    read();
    if (!queue_.empty()) write();
    startCloseIfDue();
  }

  void read() { ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::onRead, this->shared_from_this())); }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec) return finish(ec);
    if (!closing_) {
      auto data = buffer_.cdata();
      std::string_view text(static_cast<const char*>(data.data()), data.size());
      // Binary frames are no part of the protocol: the hub answers them as malformed.
      core_.frame(peer_.id, ws_.got_text() ? text : std::string_view{});
    }
    buffer_.consume(buffer_.size());
    if (buffer_.capacity() > limits::kIdleReadBufferBytes) buffer_.shrink_to_fit();
    read();
  }

  void queue(std::shared_ptr<const std::string> frame) {
    if (closing_ || finished_) return;
    if (queuedBytes_ + frame->size() > core_.options.maxQueuedBytes) return abort("not reading (send queue full)");
    queuedBytes_ += frame->size();
    queue_.push_back(std::move(frame));
    if (open_ && !writing_) write();
  }

  void write() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(*queue_.front()),
                    beast::bind_front_handler(&WsSession::onWrite, this->shared_from_this()));
  }

  void onWrite(beast::error_code ec, std::size_t) {
    writing_ = false;
    queuedBytes_ -= queue_.front()->size();
    queue_.pop_front();
    if (ec) return abort(ec.message());
    if (!queue_.empty()) return write();
    startCloseIfDue();
  }

  void closeWith(std::uint16_t code, std::string reason) {
    if (closing_ || finished_) return;
    closing_ = true;
    closeCode_ = code;
    closeReason_ = std::move(reason);
    while (queue_.size() > (writing_ ? 1U : 0U)) {
      queuedBytes_ -= queue_.back()->size();
      queue_.pop_back();
    }
    startCloseIfDue();
  }

  // Beast allows one write-like operation at a time: the close frame waits
  // for the write in flight.
  void startCloseIfDue() {
    if (!closing_ || !open_ || writing_ || closeStarted_ || finished_) return;
    closeStarted_ = true;
    websocket::close_reason reason;
    reason.code = closeCode_;
    reason.reason = closeReason_.substr(0, reason.reason.max_size());
    ws_.async_close(reason, [self = this->shared_from_this()](beast::error_code) {});
  }

  // For a peer that does not read: a close frame would never get through.
  void abort(std::string reason) {
    if (finished_) return;
    closing_ = true;
    if (closeReason_.empty()) closeReason_ = std::move(reason);
    beast::get_lowest_layer(ws_).close();
  }

  void finish(beast::error_code ec) {
    if (finished_) return;
    finished_ = true;
    closing_ = true;
    std::string reason = closeReason_.empty() ? describe(ec) : closeReason_;
    core_.wsLog.info("ws#%{public}llu closed: %{public}s", peer_.id, reason);
    core_.closed(peer_.id);
    beast::get_lowest_layer(ws_).close();
  }

  std::string describe(beast::error_code ec) const {
    if (ec == websocket::error::closed) return "closed by client (code " + std::to_string(ws_.reason().code) + ")";
    if (ec == beast::error::timeout) return open_ ? "idle timeout" : "handshake timeout";
    if (ec == websocket::error::message_too_big) return "frame too large";
    if (!open_) return "handshake failed: " + ec.message();
    if (ec == net::error::eof || ec == net::error::connection_reset || ec == net::error::broken_pipe ||
        ec == net::ssl::error::stream_truncated) {
      return "connection lost";
    }
    return ec.message();
  }

  ServerCore& core_;
  websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_;  // unbounded itself: read_message_max bounds it, with a 1009 close
  WsPeer peer_;
  std::uint64_t connection_ = 0;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t queuedBytes_ = 0;
  bool open_ = false;
  bool writing_ = false;
  bool closing_ = false;  // no more frames either way
  bool closeStarted_ = false;
  bool finished_ = false;
  std::uint16_t closeCode_ = websocket::close_code::normal;
  std::string closeReason_;
};

}  // namespace

template <class Stream>
void startWsSession(ServerCore& core, Stream&& stream, HttpRequest request, WsPeer peer) {
  std::make_shared<WsSession<Stream>>(core, std::move(stream), std::move(peer))->run(std::move(request));
}

template void startWsSession<beast::tcp_stream>(ServerCore&, beast::tcp_stream&&, HttpRequest, WsPeer);
template void startWsSession<TlsServerStream>(ServerCore&, TlsServerStream&&, HttpRequest, WsPeer);

}  // namespace orvane::server
