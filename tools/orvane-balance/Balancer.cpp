#include "tools/orvane-balance/Balancer.h"

#include <boost/asio/write.hpp>

#include <array>
#include <charconv>
#include <memory>

namespace orvane::balance {

namespace asio = boost::asio;
using boost::system::error_code;

std::optional<HostPort> parseHostPort(std::string_view text, std::optional<std::string_view> defaultHost) {
  HostPort result;
  std::string_view port = text;
  if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    std::string_view host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.starts_with('[') && host.ends_with(']')) {
      host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
      return std::nullopt;  // an IPv6 address needs its brackets
    }
    if (host.empty()) return std::nullopt;
    result.host = host;
  } else if (defaultHost) {
    result.host = *defaultHost;
  } else {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), result.port);
  if (port.empty() || error != std::errc() || end != port.data() + port.size()) return std::nullopt;
  return result;
}

namespace {

// One client's connection and its backend's, from choosing the backend to
// the end of both directions.
class Relay : public std::enable_shared_from_this<Relay> {
 public:
  Relay(tcp::socket client, std::vector<tcp::endpoint> order, std::chrono::milliseconds connectTimeout)
      : client_(std::move(client)),
        backend_(client_.get_executor()),
        timer_(client_.get_executor()),
        order_(std::move(order)),
        connectTimeout_(connectTimeout) {}

  void start() { connectNext(); }

 private:
  static constexpr std::size_t kBufferBytes = 16 * 1024;

  void connectNext() {
    if (attempt_ == order_.size()) {
      closeBoth();
      return;
    }
    const std::size_t attempt = attempt_;
    timer_.expires_after(connectTimeout_);
    timer_.async_wait([self = shared_from_this(), attempt](error_code ec) {
      // A late expiry must not close the next attempt's socket.
      if (!ec && self->attempt_ == attempt && !self->connected_) {
        error_code ignored;
        self->backend_.close(ignored);
      }
    });
    backend_.async_connect(order_[attempt], [self = shared_from_this()](error_code ec) { self->onConnect(ec); });
  }

  void onConnect(error_code ec) {
    timer_.cancel();
    if (ec) {
      error_code ignored;
      backend_.close(ignored);
      ++attempt_;
      connectNext();
      return;
    }
    connected_ = true;
    error_code ignored;
    backend_.set_option(tcp::no_delay(true), ignored);
    client_.set_option(tcp::no_delay(true), ignored);
    pump(0);
    pump(1);
  }

  // Direction 0 carries the client's bytes to the backend, 1 the other way.
  void pump(int direction) {
    tcp::socket& from = direction == 0 ? client_ : backend_;
    tcp::socket& to = direction == 0 ? backend_ : client_;
    auto& buffer = buffers_[direction];
    from.async_read_some(asio::buffer(buffer), [self = shared_from_this(), direction, &to, &buffer](error_code ec,
                                                                                                   std::size_t n) {
      if (ec == asio::error::eof) {
        error_code ignored;
        to.shutdown(tcp::socket::shutdown_send, ignored);
        if (--self->openDirections_ == 0) self->closeBoth();
        return;
      }
      if (ec) {
        self->closeBoth();
        return;
      }
      asio::async_write(to, asio::buffer(buffer.data(), n), [self, direction](error_code ec, std::size_t) {
        if (ec) {
          self->closeBoth();
        } else {
          self->pump(direction);
        }
      });
    });
  }

  // A reset on either side ends both: the other cannot be told more precisely.
  void closeBoth() {
    error_code ignored;
    client_.close(ignored);
    backend_.close(ignored);
    timer_.cancel();
  }

  tcp::socket client_;
  tcp::socket backend_;
  asio::steady_timer timer_;
  std::vector<tcp::endpoint> order_;
  std::chrono::milliseconds connectTimeout_;
  std::size_t attempt_ = 0;
  bool connected_ = false;
  int openDirections_ = 2;
  std::array<std::array<char, kBufferBytes>, 2> buffers_;
};

}  // namespace

Balancer::Balancer(asio::io_context& io, const tcp::endpoint& listen, std::vector<tcp::endpoint> backends,
                   std::chrono::milliseconds connectTimeout)
    : acceptor_(io, listen), pause_(io), backends_(std::move(backends)), connectTimeout_(connectTimeout) {}

void Balancer::start() { accept(); }

void Balancer::stop() {
  error_code ignored;
  acceptor_.close(ignored);
  pause_.cancel();
}

void Balancer::accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket client) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
      // Out of descriptors, say: try again shortly rather than spin.
      pause_.expires_after(std::chrono::milliseconds(100));
      pause_.async_wait([this](error_code ec) {
        if (!ec) accept();
      });
      return;
    }
    std::vector<tcp::endpoint> order;
    for (std::size_t i = 0; i < backends_.size(); ++i) order.push_back(backends_[(next_ + i) % backends_.size()]);
    if (!backends_.empty()) next_ = (next_ + 1) % backends_.size();
    std::make_shared<Relay>(std::move(client), std::move(order), connectTimeout_)->start();
    accept();
  });
}

}  // namespace orvane::balance
