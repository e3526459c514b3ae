#pragma once

#include <algorithm>
#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "OrvaneServer/TlsEngine.h"

namespace orvane::server {

// The server's TLS stream over a beast::tcp_stream (its time-outs apply), as
// Beast's HTTP and WebSocket code need it. While idle it holds only a small
// read buffer for the socket: OpenSSL releases its record buffers
// (SSL_MODE_RELEASE_BUFFERS) and TlsEngine its ciphertext.
//
// At most one read and one write may be outstanding, plus nothing else while
// the handshake or the shutdown runs; all on the stream's executor (a strand).
class TlsServerStream {
 public:
  using next_layer_type = boost::beast::tcp_stream;
  using executor_type = next_layer_type::executor_type;
  using error_code = boost::system::error_code;

  TlsServerStream(boost::asio::ip::tcp::socket&& socket, boost::asio::ssl::context& context)
      : next_(std::move(socket)),
        engine_(std::make_unique<TlsEngine>(context.native_handle())),
        flushed_(std::make_unique<boost::asio::steady_timer>(next_.get_executor())) {
    flushed_->expires_at(boost::asio::steady_timer::time_point::max());
  }
  TlsServerStream(TlsServerStream&&) = default;

  executor_type get_executor() { return next_.get_executor(); }
  next_layer_type& next_layer() { return next_; }
  SSL* native_handle() { return engine_->native_handle(); }

  template <class Handler>
  auto async_handshake(Handler&& handler) {
    return boost::asio::async_compose<std::decay_t<Handler>, void(error_code)>(HandshakeOp{*this}, handler, next_);
  }

  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    boost::asio::mutable_buffer first;
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      if (boost::asio::mutable_buffer b(*it); b.size() != 0) {
        first = b;
        break;
      }
    }
    return boost::asio::async_compose<std::decay_t<Handler>, void(error_code, std::size_t)>(ReadOp{*this, first},
                                                                                            handler, next_);
  }

  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    return boost::asio::async_compose<std::decay_t<Handler>, void(error_code, std::size_t)>(
        WriteOp<ConstBuffers>{*this, buffers}, handler, next_);
  }

  // Sends our close_notify; does not wait for the peer's.
  template <class Handler>
  auto async_shutdown(Handler&& handler) {
    return boost::asio::async_compose<std::decay_t<Handler>, void(error_code)>(ShutdownOp{*this}, handler, next_);
  }

 private:
  // Plaintext per write call: enough for any signalling frame in a few records.
  static constexpr std::size_t kMaxWriteBytes = 64 * 1024;
  // A read waiting on an idle socket holds this much; one that filled it reads more next time.
  static constexpr std::size_t kIdleReadBytes = 1024;
  static constexpr std::size_t kBusyReadBytes = 16 * 1024;

  enum class State { start, reading, flushing, waiting };

  // Completes in place after an asynchronous step, else through a post: never
  // inside the initiating call.
  template <class Self, class... Args>
  void complete(Self& self, bool async, Args... args) {
    if (async) return self.complete(args...);
    boost::asio::post(next_.get_executor(), [self = std::move(self), args...]() mutable { self.complete(args...); });
  }

  // Sends everything the engine has for the peer, including what is added on
  // the way. `flushing_` is set by the caller; writes wait until it is clear.
  struct FlushOp {
    TlsServerStream& s;
    std::string sending{};

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t = 0) {
      sending = std::string();
      if (ec || !s.engine_->hasOutput()) {
        s.flushing_ = false;
        s.flushed_->cancel();
        return self.complete(ec);
      }
      sending = s.engine_->takeOutput();
      boost::asio::async_write(s.next_, boost::asio::buffer(sending), std::move(self));
    }
  };

  template <class Self>
  void flush(Self self) {
    flushing_ = true;
    boost::asio::async_compose<Self, void(error_code)>(FlushOp{*this}, self, next_);
  }

  template <class Self>
  void readInput(Self self) {
    next_.async_read_some(engine_->prepareInput(lastReadFull_ ? kBusyReadBytes : kIdleReadBytes), std::move(self));
  }

  void inputArrived(std::size_t bytes) {
    lastReadFull_ = bytes >= kIdleReadBytes;
    engine_->commitInput(bytes);
  }

  // The socket ended under TLS: without the peer's close_notify that is a truncation.
  static error_code inputError(error_code ec) {
    return ec == boost::asio::error::eof ? error_code(boost::asio::ssl::error::stream_truncated) : ec;
  }

  struct HandshakeOp {
    TlsServerStream& s;
    State state = State::start;
    std::optional<error_code> result{};

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t bytes = 0) {
      if (state == State::reading) {
        s.inputArrived(ec ? 0 : bytes);
        if (ec) return self.complete(inputError(ec));
      } else if (state == State::flushing) {
        if (result || ec) return self.complete(result && *result ? *result : ec);
      }
      TlsEngine::Step step = s.engine_->handshake();
      if (step.want != TlsEngine::Want::input) result = step.error;
      if (s.engine_->hasOutput()) {
        state = State::flushing;
        return s.flush(std::move(self));
      }
      if (result) return s.complete(self, state != State::start, *result);
      state = State::reading;
      s.readInput(std::move(self));
    }
  };

  struct ReadOp {
    TlsServerStream& s;
    boost::asio::mutable_buffer buffer;
    State state = State::start;
    std::optional<std::size_t> bytes{};

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t n = 0) {
      const bool async = state != State::start;
      if (state == State::reading) {
        s.inputArrived(ec ? 0 : n);
        if (ec) return self.complete(inputError(ec), std::size_t{0});
      } else if (state == State::flushing) {
        if (ec) return self.complete(ec, std::size_t{0});
        if (bytes) return self.complete(error_code(), *bytes);
      }
      if (buffer.size() == 0) return s.complete(self, async, error_code(), std::size_t{0});
      TlsEngine::Step step = s.engine_->read(buffer.data(), buffer.size());
      if (step.want == TlsEngine::Want::error) return s.complete(self, async, step.error, std::size_t{0});
      if (step.want == TlsEngine::Want::done) bytes = step.bytes;
      // What reading made OpenSSL say back goes out first; a write in progress takes it along instead.
      if (s.engine_->hasOutput() && !s.flushing_) {
        state = State::flushing;
        return s.flush(std::move(self));
      }
      if (bytes) return s.complete(self, async, error_code(), *bytes);
      state = State::reading;
      s.readInput(std::move(self));
    }
  };

  template <class ConstBuffers>
  struct WriteOp {
    TlsServerStream& s;
    ConstBuffers buffers;
    State state = State::start;
    std::size_t written = 0;

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t = 0) {
      if (state == State::flushing) return self.complete(ec, ec ? std::size_t{0} : written);
      const bool async = state != State::start;
      if (s.flushing_) {  // a read is sending what it made: ours must follow it
        state = State::waiting;
        return s.flushed_->async_wait(
            [self = std::move(self)](error_code) mutable { self(error_code(), std::size_t{0}); });
      }
      for (auto it = boost::asio::buffer_sequence_begin(buffers);
           it != boost::asio::buffer_sequence_end(buffers) && written < kMaxWriteBytes; ++it) {
        boost::asio::const_buffer b(*it);
        if (b.size() == 0) continue;
        TlsEngine::Step step = s.engine_->write(b.data(), std::min(b.size(), kMaxWriteBytes - written));
        if (step.want != TlsEngine::Want::done) {
          return s.complete(self, async, step.error ? step.error : boost::asio::ssl::error::stream_truncated,
                            std::size_t{0});
        }
        written += step.bytes;
      }
      if (!s.engine_->hasOutput()) return s.complete(self, async, error_code(), written);
      state = State::flushing;
      s.flush(std::move(self));
    }
  };

  struct ShutdownOp {
    TlsServerStream& s;
    State state = State::start;
    error_code result{};

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t = 0) {
      if (state == State::flushing) return self.complete(result ? result : ec);
      result = s.engine_->shutdown().error;
      if (!s.engine_->hasOutput() || s.flushing_) return s.complete(self, false, result);
      state = State::flushing;
      s.flush(std::move(self));
    }
  };

  next_layer_type next_;
  std::unique_ptr<TlsEngine> engine_;                   // OpenSSL's BIO points at it: it must not move
  std::unique_ptr<boost::asio::steady_timer> flushed_;  // cancelled when a flush ends, waking a waiting write
  bool flushing_ = false;
  bool lastReadFull_ = false;
};

// How Beast's WebSocket ends a TLS stream: our close_notify; the session closes the socket.
template <class Handler>
void async_teardown(boost::beast::role_type, TlsServerStream& stream, Handler&& handler) {
  stream.async_shutdown(std::forward<Handler>(handler));
}

inline void teardown(boost::beast::role_type, TlsServerStream& stream, boost::system::error_code& ec) {
  stream.next_layer().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
  stream.next_layer().close();
}

}  // namespace orvane::server
