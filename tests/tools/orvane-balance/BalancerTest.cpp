// The balancer between real loopback sockets: the turn of backends, a dead one
// skipped, and a large transfer relayed intact both ways with its half-close.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/write.hpp>

#include <array>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/orvane-balance/Balancer.h"

namespace orvane::balance {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

const asio::ip::address kLoopback = asio::ip::make_address("127.0.0.1");

// What arrives within 5 s: the byte count, 0 at the end of the stream, -1 when
// nothing came (a relay that stalls fails the test instead of hanging it).
ssize_t receive(tcp::socket& socket, char* data, std::size_t size) {
  pollfd ready{socket.native_handle(), POLLIN, 0};
  if (::poll(&ready, 1, 5000) != 1) return -1;
  return ::recv(socket.native_handle(), data, size, 0);
}

// Says its name, then echoes what it reads until end of stream, which it passes on.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
 public:
  explicit EchoSession(tcp::socket socket) : socket_(std::move(socket)) {}
  void start(const std::string& name) {
    auto self = shared_from_this();
    greeting_ = name + "\n";
    asio::async_write(socket_, asio::buffer(greeting_), [self](error_code ec, std::size_t) {
      if (!ec) self->echo();
    });
  }

 private:
  void echo() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](error_code ec, std::size_t n) {
      if (ec) {
        error_code ignored;
        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
        return;
      }
      asio::async_write(self->socket_, asio::buffer(self->buffer_.data(), n), [self](error_code ec, std::size_t) {
        if (!ec) self->echo();
      });
    });
  }

  tcp::socket socket_;
  std::string greeting_;
  std::array<char, 8192> buffer_;
};

class EchoServer {
 public:
  EchoServer(asio::io_context& io, std::string name) : acceptor_(io, tcp::endpoint(kLoopback, 0)), name_(name) {
    accept();
  }
  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }

 private:
  void accept() {
    acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
      if (ec) return;
      std::make_shared<EchoSession>(std::move(socket))->start(name_);
      accept();
    });
  }
  tcp::acceptor acceptor_;
  std::string name_;
};

// A loopback port nothing listens on: connections to it are refused.
tcp::endpoint deadEndpoint(asio::io_context& io) {
  tcp::acceptor probe(io, tcp::endpoint(kLoopback, 0));
  return probe.local_endpoint();
}

class BalancerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void run(std::vector<tcp::endpoint> backends) {
    balancer_.emplace(io_, tcp::endpoint(kLoopback, 0), std::move(backends), std::chrono::seconds(2));
    balancer_->start();
    thread_ = std::thread([this] { io_.run(); });
  }

  tcp::socket connect() {
    tcp::socket socket(clientIo_);
    socket.connect(tcp::endpoint(kLoopback, balancer_->local().port()));
    return socket;
  }
  // The backend's name, or "" when the connection closed first.
  std::string greeting(tcp::socket& socket) {
    std::string line;
    char c = 0;
    while (receive(socket, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  asio::io_context io_;
  asio::io_context clientIo_;
  EchoServer a_{io_, "A"};
  EchoServer b_{io_, "B"};
  std::optional<Balancer> balancer_;
  std::thread thread_;
};

TEST_F(BalancerTest, TakesBackendsInTurnSkippingOneThatRefuses) {
  run({a_.endpoint(), deadEndpoint(io_), b_.endpoint()});
  std::vector<std::string> served;
  for (int i = 0; i < 6; ++i) {
    auto socket = connect();
    served.push_back(greeting(socket));
  }
  // The dead one's turn goes to the one after it.
  EXPECT_EQ(served, (std::vector<std::string>{"A", "B", "B", "A", "B", "B"}));
}

TEST_F(BalancerTest, ClosesAConnectionNoBackendTakes) {
  run({deadEndpoint(io_), deadEndpoint(io_)});
  auto socket = connect();
  char c = 0;
  EXPECT_EQ(receive(socket, &c, 1), 0);
}

TEST_F(BalancerTest, RelaysALargeTransferIntactBothWaysAndPassesOnTheHalfClose) {
  run({a_.endpoint()});
  auto socket = connect();
  ASSERT_EQ(greeting(socket), "A");

  std::vector<char> sent(8 << 20);
  std::mt19937 random(7);
  for (auto& byte : sent) byte = char(random());
  // Written from another thread while this one reads: far more than any
  // buffer on the way holds, so the relay must keep both directions moving.
  std::thread writer([&] {
    error_code ec;
    asio::write(socket, asio::buffer(sent), ec);
    EXPECT_FALSE(ec) << ec.message();
    socket.shutdown(tcp::socket::shutdown_send, ec);
  });
  std::vector<char> received(sent.size() + 1);
  std::size_t n = 0;
  ssize_t got = 0;
  while ((got = receive(socket, received.data() + n, received.size() - n)) > 0) n += std::size_t(got);
  writer.join();
  // All of it came back, and then the end of the stream: the client's
  // half-close reached the backend, whose own came back.
  EXPECT_EQ(got, 0);
  ASSERT_EQ(n, sent.size());
  received.pop_back();
  EXPECT_TRUE(received == sent);
}

TEST(ParseHostPort, AcceptsTheUsualFormsAndRejectsTheRest) {
  const auto v4 = parseHostPort("127.0.0.1:8080", std::nullopt);
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->host, "127.0.0.1");
  EXPECT_EQ(v4->port, 8080);
  EXPECT_EQ(parseHostPort("[::1]:0", std::nullopt)->host, "::1");
  EXPECT_EQ(parseHostPort("9000", "0.0.0.0")->host, "0.0.0.0");
  for (const char* bad : {"9000", "host:", ":80", "h:65536", "h:8x", "::1:80", "h:-1"}) {
    EXPECT_FALSE(parseHostPort(bad, std::nullopt)) << bad;
  }
}

}  // namespace
}  // namespace orvane::balance
