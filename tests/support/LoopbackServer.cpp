#include "tests/support/LoopbackServer.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>

namespace orvane::test {

LoopbackServer::LoopbackServer(std::function<void(Connection&)> serve, boost::asio::ssl::context* tls)
    : serve_(std::move(serve)), tls_(tls) {
  acceptor_.open(boost::asio::ip::tcp::v4());
  acceptor_.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
  acceptor_.listen();
  acceptThread_ = std::thread([this] {
    for (;;) {
      Socket socket(ioc_);
      boost::system::error_code ec;
      acceptor_.accept(socket, ec);
      std::lock_guard lock(mutex_);
      if (ec || stopping_) return;
      connections_.emplace_back([this, s = std::move(socket)]() mutable { serveOne(std::move(s)); });
    }
  });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  Socket poke(ioc_);
  boost::system::error_code ec;
  poke.connect(acceptor_.local_endpoint(), ec);  // ends the blocking accept
  acceptThread_.join();
  for (auto& thread : connections_) thread.join();
}

void LoopbackServer::serveOne(Socket socket) {
  Connection c{*this, std::move(socket), std::nullopt, {}, {}, {}};
  if (tls_) c.tls.emplace(c.socket, *tls_).handshake(boost::asio::ssl::stream_base::server, c.error);
  boost::beast::flat_buffer buffer;
  if (!c.error) c.with([&](auto& s) { boost::beast::http::read(s, buffer, c.request, c.error); });
  if (c.error) return;
  c.target = std::string(c.request.target());
  requests.with([&](auto& all) { all.push_back(c.request); });
  try {
    serve_(c);
  } catch (const std::exception&) {  // a client that went away mid-script
  }
}

}  // namespace orvane::test
