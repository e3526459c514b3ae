#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/Locked.h"

namespace orvane::test {

// A server on 127.0.0.1 (a free port) for testing clients. Every connection
// is served on a thread of its own: the TLS handshake when a context is
// given, then the HTTP request is read, then `serve` runs with blocking calls.
// Destroy the clients first: connections waiting on them end when they go.
class LoopbackServer {
 public:
  using Socket = boost::asio::ip::tcp::socket;
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  struct Connection {
    LoopbackServer& server;
    Socket socket;
    std::optional<boost::asio::ssl::stream<Socket&>> tls;
    Request request;
    std::string target;

    // Calls `fn` with the stream to use: the TLS one when there is one.
    void with(auto&& fn) { tls ? fn(*tls) : fn(socket); }
    void write(const std::string& bytes) {
      with([&](auto& s) { boost::asio::write(s, boost::asio::buffer(bytes), error); });
    }
    void waitForClientClose() {
      char byte;
      with([&](auto& s) { while (!error) boost::asio::read(s, boost::asio::buffer(&byte, 1), error); });
    }
    void waitForStop() {  // returns once the server is being destroyed
      std::unique_lock lock(server.mutex_);
      server.stopped_.wait(lock, [&] { return server.stopping_; });
    }
    boost::system::error_code error;  // of the handshake, the request read, write() or the wait
  };

  explicit LoopbackServer(std::function<void(Connection&)> serve, boost::asio::ssl::context* tls = nullptr);
  ~LoopbackServer();

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::string url(const std::string& scheme, const std::string& path, const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port()) + path;
  }

  Locked<std::vector<Request>> requests;  // every request read, in arrival order

 private:
  void serveOne(Socket socket);

  std::function<void(Connection&)> serve_;
  boost::asio::ssl::context* tls_;
  boost::asio::io_context ioc_;
  boost::asio::ip::tcp::acceptor acceptor_{ioc_};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::thread> connections_;
};

}  // namespace orvane::test
