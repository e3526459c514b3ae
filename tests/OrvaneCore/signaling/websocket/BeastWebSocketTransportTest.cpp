#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <filesystem>
#include <thread>
#include <variant>

#include "OrvaneCore/net/Tls.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/signaling/websocket/BeastWebSocketTransport.h"

using namespace orvane;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// What the client callbacks and the server scripts saw, from their threads.
struct Observed {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts, authorizations, targets, serverReceived;
  std::vector<std::optional<std::string>> closes;
  std::vector<int> closeCodes;

  // Notifies under the lock: a waiter may destroy this as soon as it wakes.
  template <typename Fn>
  void update(Fn fn) {
    std::lock_guard lock(mutex);
    fn();
    changed.notify_all();
  }
  bool waitFor(const std::function<bool()>& done, Seconds timeout = 5s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, done);
  }
  void watch(BeastWebSocketTransport& transport) {
    transport.onText = [this](std::string text) { update([&] { texts.push_back(std::move(text)); }); };
    transport.onClose = [this](std::optional<std::string> error) { update([&] { closes.push_back(std::move(error)); }); };
  }
};

// A WebSocket server on 127.0.0.1 that runs its script for every connection
// on a thread of its own, with blocking Beast calls.
class ScriptedServer {
 public:
  using PlainWs = websocket::stream<tcp::socket>;
  using TlsWs = websocket::stream<asio::ssl::stream<tcp::socket>>;
  struct Peer {
    ScriptedServer& server;
    std::variant<PlainWs, TlsWs> ws;
    http::request<http::string_body> request;
    std::string target;

    template <typename Fn>
    decltype(auto) with(Fn&& fn) {
      return std::visit(std::forward<Fn>(fn), ws);
    }
    void accept() {
      with([&](auto& s) { s.accept(request); });
    }
    void refuse(http::status status) {
      http::response<http::empty_body> response(status, 11);
      response.content_length(0);
      with([&](auto& s) { http::write(s.next_layer(), response); });
    }
    void send(const std::string& data, bool binary = false) {
      with([&](auto& s) {
        s.binary(binary);
        s.write(asio::buffer(data));
      });
    }
    // Records every message, then the close code once the client closes.
    void readAll() {
      beast::flat_buffer buffer;
      beast::error_code ec;
      while (with([&](auto& s) {
        s.read(buffer, ec);
        return !ec;
      })) {
        server.seen.update([&] { server.seen.serverReceived.push_back(target + " " + beast::buffers_to_string(buffer.data())); });
        buffer.consume(buffer.size());
      }
      const int code = with([](auto& s) { return static_cast<int>(s.reason().code); });
      if (ec == websocket::error::closed) server.seen.update([&] { server.seen.closeCodes.push_back(code); });
    }
    void vanish() {
      with([](auto& s) { beast::get_lowest_layer(s).close(); });
    }
    void waitForStop() {
      std::unique_lock lock(server.mutex_);
      server.stopped_.wait(lock, [&] { return server.stopping_; });
    }
  };

  ScriptedServer(Observed& seen, std::function<void(Peer&)> script, asio::ssl::context* tls = nullptr)
      : seen(seen), script_(std::move(script)), tls_(tls) {
    acceptor_.open(tcp::v4());
    acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    acceptThread_ = std::thread([this] {
      for (;;) {
        tcp::socket socket(ioc_);
        acceptor_.accept(socket);
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        peers_.emplace_back([this, socket = std::move(socket)]() mutable { serve(std::move(socket)); });
      }
    });
  }
  // Destroy the clients first: scripts reading from them end when they go.
  ~ScriptedServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stopped_.notify_all();
    tcp::socket poke(ioc_);
    poke.connect(acceptor_.local_endpoint());  // ends the blocking accept
    acceptThread_.join();
    for (auto& peer : peers_) peer.join();
  }
  std::string url(const std::string& scheme, const std::string& path, const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(acceptor_.local_endpoint().port()) + path;
  }

  Observed& seen;

 private:
  void serve(tcp::socket socket) {
    try {
      Peer peer{*this, tls_ ? decltype(Peer::ws)(std::in_place_index<1>, std::move(socket), *tls_)
                            : decltype(Peer::ws)(std::in_place_index<0>, std::move(socket)), {}, {}};
      if (auto* secure = std::get_if<1>(&peer.ws)) secure->next_layer().handshake(asio::ssl::stream_base::server);
      beast::flat_buffer buffer;
      peer.with([&](auto& s) { http::read(s.next_layer(), buffer, peer.request); });
      peer.target = std::string(peer.request.target());
      seen.update([&] {
        seen.authorizations.emplace_back(peer.request[http::field::authorization]);
        seen.targets.push_back(peer.target);
      });
      script_(peer);
    } catch (const std::exception&) {
    }
  }

  std::function<void(Peer&)> script_;
  asio::ssl::context* tls_;
  asio::io_context ioc_;
  tcp::acceptor acceptor_{ioc_};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::thread> peers_;
};

// Runs `task` on the executor until it ends; returns its error's text, empty on success.
std::string run(ManualExecutor& exec, Task<void> task) {
  bool done = false;
  std::string error;
  auto handle = spawn(exec, [&]() -> Task<void> {
    try {
      co_await std::move(task);
    } catch (const std::exception& e) {
      error = e.what();
    }
    done = true;
  });
  if (!exec.runUntil([&] { return done; }, 5s)) {
    handle.cancel();
    exec.runUntilIdle();
    return "did not finish";
  }
  return error;
}

// What each request path makes the server do.
void script(ScriptedServer::Peer& peer) {
  if (peer.target == "/refused") return peer.refuse(http::status::unauthorized);
  if (peer.target == "/silent") return peer.waitForStop();  // never answers the upgrade
  peer.accept();
  if (peer.target == "/vanishing") return peer.vanish();
  if (peer.target == "/oversized") peer.send(std::string(256 * 1024 + 1, 'x'));
  if (peer.target == "/deaf") peer.send("open");
  if (peer.target == "/deaf") return peer.waitForStop();  // reads nothing, so answers no ping
  if (peer.target.starts_with("/frames")) {
    peer.send(R"({"type":"welcome"})");
    peer.send(R"({"type":"welcome"})", true);
    peer.send("a\xFF\xF0\x9F" "b", true);
  }
  peer.send("hi " + peer.target);
  peer.readAll();
}

class BeastTransport : public ::testing::Test {
 protected:
  ManualExecutor exec;
  Observed seen;
  ScriptedServer server{seen, script};

  Url at(const std::string& path) { return *Url::parse(server.url("ws", path)); }
};

const std::string kLost = "The network connection was lost.";
const std::string kNoConnection = "The server returned a bad response: there is no WebSocket connection.";

TEST_F(BeastTransport, CarriesTheHeaderTextBinaryPingsAndACloseWith1000) {
  BeastWebSocketTransport transport;
  seen.watch(transport);
  transport.close();  // without a connection: nothing
  EXPECT_EQ(run(exec, transport.send("x")), kNoConnection);
  EXPECT_EQ(run(exec, transport.sendPing()), kLost);

  transport.connect(at("/frames?v=1"), "Bearer tok\"en/1");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 4; }));
  EXPECT_EQ(seen.texts, (std::vector<std::string>{R"({"type":"welcome"})", R"({"type":"welcome"})",
                                                  "a\xEF\xBF\xBD\xEF\xBF\xBD" "b", "hi /frames?v=1"}));
  EXPECT_EQ(seen.authorizations, std::vector<std::string>{"Bearer tok\"en/1"});
  EXPECT_EQ(run(exec, transport.send("x")), "");
  EXPECT_EQ(run(exec, transport.sendPing()), "");
  EXPECT_TRUE(seen.waitFor([&] { return seen.serverReceived == std::vector<std::string>{"/frames?v=1 x"}; }));

  transport.close();
  ASSERT_TRUE(seen.waitFor([&] { return seen.closes.size() == 1 && seen.closeCodes.size() == 1; }));
  EXPECT_EQ(seen.closeCodes, std::vector<int>{1000});
  EXPECT_EQ(run(exec, transport.send("late")), kNoConnection);
  transport.close();
  EXPECT_FALSE(seen.waitFor([&] { return seen.closes.size() > 1; }, 0.2s));
}

TEST_F(BeastTransport, RefusalsLossesTimeOutsAndOversizedFramesEndInOneClose) {
  BeastWebSocketTransport::Options quickPong, quickHandshake;
  quickPong.pongTimeout = quickHandshake.handshakeTimeout = 0.3s;
  BeastWebSocketTransport transport(quickPong), impatient(quickHandshake);
  seen.watch(transport);
  seen.watch(impatient);
  auto closeAfter = [&](BeastWebSocketTransport& t, const std::string& path) -> std::string {
    const std::size_t before = seen.closes.size();
    t.connect(at(path), "Bearer t");
    if (!seen.waitFor([&] { return seen.closes.size() == before + 1; })) return "no close";
    return seen.closes.back().value_or("no error");
  };
  EXPECT_NE(closeAfter(transport, "/refused").find("HTTP 401"), std::string::npos);
  EXPECT_EQ(closeAfter(impatient, "/silent"), "The request timed out.");
  EXPECT_NE(closeAfter(transport, "/vanishing"), "no close");
  EXPECT_NE(closeAfter(transport, "/oversized"), "no close");
  EXPECT_TRUE(seen.waitFor([&] { return seen.closeCodes == std::vector<int>{1009}; }));
  EXPECT_TRUE(seen.texts.empty());

  transport.connect(at("/deaf"), "Bearer t");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 1; }));
  EXPECT_EQ(run(exec, transport.sendPing()), "The request timed out.");
  EXPECT_EQ(seen.closes.size(), 4u);  // a missing pong is the service's to judge
}

TEST_F(BeastTransport, ANewConnectSilencesAndClosesTheOldConnection) {
  BeastWebSocketTransport transport;
  seen.watch(transport);
  transport.connect(at("/one"), "Bearer t");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 1; }));
  transport.connect(at("/two"), "Bearer t");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 2 && seen.closeCodes.size() == 1; }));
  EXPECT_EQ(seen.texts.back(), "hi /two");
  EXPECT_EQ(seen.closeCodes, std::vector<int>{1000});  // the old one closed normally...
  EXPECT_EQ(run(exec, transport.send("x")), "");
  EXPECT_TRUE(seen.waitFor([&] { return seen.serverReceived == std::vector<std::string>{"/two x"}; }));
  EXPECT_TRUE(seen.closes.empty());  // ...and reported nothing
}

TEST_F(BeastTransport, DestructionEndsPendingWorkWithNoCallbackAfterwards) {
  auto transport = std::make_shared<BeastWebSocketTransport>();
  seen.watch(*transport);
  transport->connect(at("/deaf"), "Bearer t");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 1; }));
  std::string pingError;
  auto ping = spawn(exec, [&]() -> Task<void> {
    try {
      co_await transport->sendPing();  // never answered
    } catch (const std::exception& e) {
      pingError = e.what();
    }
  });
  exec.runUntilIdle();
  transport.reset();
  EXPECT_TRUE(exec.runUntil([&] { return !pingError.empty(); }, 5s));
  EXPECT_EQ(pingError, kLost);
  EXPECT_FALSE(seen.waitFor([&] { return !seen.closes.empty(); }, 0.2s));

  // Dropping the last reference from inside a callback is allowed too.
  auto inner = std::make_shared<BeastWebSocketTransport>();
  seen.watch(*inner);
  inner->onText = [this, &inner](std::string) {
    inner.reset();
    seen.update([&] { seen.texts.push_back("dropped"); });
  };
  inner->connect(at("/deaf"), "Bearer t");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 2; }));
  EXPECT_FALSE(seen.waitFor([&] { return !seen.closes.empty(); }, 0.2s));
}

// A self-signed certificate for localhost and 127.0.0.1, as PEM files.
struct SelfSigned {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("orvane-ws-" + std::to_string(::getpid()));
  std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  SelfSigned() {
    std::filesystem::create_directories(dir);
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                                "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
                                key + " -out " + cert + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  ~SelfSigned() { std::filesystem::remove_all(dir); }
};

TEST_F(BeastTransport, SecureConnectionsTrustTheExtraCertificateOnly) {
  SelfSigned certificate;
  auto tls = net::makeServerTlsContext(certificate.cert, certificate.key);
  ScriptedServer secureServer(seen, script, &tls);

  BeastWebSocketTransport::Options options;
  options.extraCaFile = certificate.cert;
  BeastWebSocketTransport trusting(options);
  seen.watch(trusting);
  trusting.connect(*Url::parse(secureServer.url("wss", "/v1/ws", "localhost")), "Bearer s");
  ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 1; }));
  EXPECT_EQ(seen.texts[0], "hi /v1/ws");
  EXPECT_EQ(seen.authorizations, std::vector<std::string>{"Bearer s"});

  BeastWebSocketTransport doubting;
  seen.watch(doubting);
  doubting.connect(*Url::parse(secureServer.url("wss", "/v1/ws")), "Bearer s");
  ASSERT_TRUE(seen.waitFor([&] { return seen.closes.size() == 1; }));
  EXPECT_NE(seen.closes[0].value_or("").find("certificate verify failed"), std::string::npos) << *seen.closes[0];
  EXPECT_EQ(seen.authorizations.size(), 1u);  // the token never left for the untrusted server
}

}  // namespace
