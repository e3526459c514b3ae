#include "OrvaneServer/Server.h"

#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <stdexcept>
#include <thread>
#include <vector>

#include "OrvaneServer/HttpSession.h"
#include "OrvaneServer/ServerCore.h"
#include "OrvaneServer/cluster/RedisCluster.h"

namespace orvane::server {

namespace {

namespace net = boost::asio;
constexpr const char* kSubsystem = "com.kelbrin.Orvane.Server";
using tcp = net::ip::tcp;
using boost::system::error_code;

// When the process runs out of descriptors accept fails at once, again and
// again: pause instead of spinning.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(ServerCore& core, net::io_context& ioc, const tcp::endpoint& endpoint)
      : core_(core), ioc_(ioc), acceptor_(net::make_strand(ioc)), retry_(acceptor_.get_executor()) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
  }

  tcp::endpoint localEndpoint() const { return acceptor_.local_endpoint(); }

  void accept() {
    acceptor_.async_accept(net::make_strand(ioc_), [self = shared_from_this()](error_code ec, tcp::socket socket) {
      self->onAccept(ec, std::move(socket));
    });
  }

  void stop() {
    net::post(acceptor_.get_executor(), [self = shared_from_this()] {
      error_code ignored;
      self->acceptor_.close(ignored);
      self->retry_.cancel();
    });
  }

 private:
  void onAccept(error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
      core_.httpLog.error("accept failed: %{public}s", ec.message());
      retry_.expires_after(kAcceptRetryDelay);
      retry_.async_wait([self = shared_from_this()](error_code waitEc) {
        if (!waitEc) self->accept();
      });
      return;
    }
    startHttpSession(core_, std::move(socket));
    accept();
  }

  ServerCore& core_;
  net::io_context& ioc_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
};

std::string hostForUrl(const net::ip::address& address) {
  return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

}  // namespace

struct Server::Impl {
  Impl(ServerOptions options, Auth& auth, const Clock& clock, LogSink& logSink)
      : instance(options.clusterUrl.empty() ? "" : cluster::RedisCluster::newInstanceName()),
        core(std::move(options), auth, clock, logSink, instance),
        ioc(static_cast<int>(std::max(1U, core.options.threads))),
        sink(logSink) {}

  const std::string instance;  // in a cluster
  ServerCore core;  // outlives the io_context, whose pending handlers refer to it
  net::io_context ioc;
  LogSink& sink;
  std::unique_ptr<cluster::RedisCluster> cluster;  // gone before the io_context it runs on
  std::shared_ptr<Listener> listener;
  std::vector<std::thread> threads;
  tcp::endpoint endpoint;
  bool started = false;
  bool stopped = false;
};

Server::Server(ServerOptions options, Auth& auth, const Clock& clock, LogSink& sink)
    : impl_(std::make_unique<Impl>(std::move(options), auth, clock, sink)) {
  auth.onUserRevoked = [core = &impl_->core](const std::string& userId) { core->revokeUser(userId); };
}

Server::~Server() {
  stop();
  impl_->core.auth.onUserRevoked = nullptr;
}

void Server::start() {
  if (impl_->started) return;
  const ServerOptions& o = impl_->core.options;
  error_code ec;
  auto address = net::ip::make_address(o.bindAddress == "localhost" ? "127.0.0.1" : o.bindAddress, ec);
  if (ec) throw std::runtime_error("not an IP address: " + o.bindAddress);
  try {
    impl_->listener = std::make_shared<Listener>(impl_->core, impl_->ioc, tcp::endpoint(address, o.port));
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + hostForUrl(address) + ":" + std::to_string(o.port) + ": " +
                             e.code().message());
  }
  impl_->endpoint = impl_->listener->localEndpoint();
  if (!o.clusterUrl.empty()) {
    auto endpoint = cluster::parseRedisUrl(o.clusterUrl);
    if (!endpoint) throw std::runtime_error("not a redis://HOST[:PORT][/DB] URL: " + o.clusterUrl);
    impl_->cluster = std::make_unique<cluster::RedisCluster>(impl_->ioc, std::move(*endpoint), impl_->instance,
                                                             impl_->core, Logger(kSubsystem, "cluster", impl_->sink));
    impl_->cluster->start();
  }
  impl_->listener->accept();
  impl_->started = true;
  for (unsigned i = 0; i < std::max(1U, o.threads); ++i) {
    impl_->threads.emplace_back([this] { impl_->ioc.run(); });
  }
}

std::uint16_t Server::port() const { return impl_->endpoint.port(); }

std::string Server::url() const {
  return std::string(impl_->core.options.tls ? "https://" : "http://") + hostForUrl(impl_->endpoint.address()) + ":" +
         std::to_string(impl_->endpoint.port());
}

void Server::stop() {
  if (!impl_->started || impl_->stopped) return;
  impl_->stopped = true;
  impl_->listener->stop();
  impl_->core.shutdownAll();
  impl_->core.waitUntilNoConnections(limits::kStopGrace);
  if (impl_->cluster) impl_->cluster->stop();
  impl_->ioc.stop();
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
  impl_->cluster.reset();
  // Sessions still pending are destroyed with the io_context; what they tell
  // the hub then must not post into it.
  impl_->core.stopDelivery();
}

}  // namespace orvane::server
