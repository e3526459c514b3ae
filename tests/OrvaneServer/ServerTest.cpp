// orvane-signal's server over real sockets: handshake authentication, relaying, abusive and silent sockets,
// the account endpoints, static files confined to the web root, and TLS.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <fstream>
#include <map>
#include <thread>

#include "OrvaneCore/net/Tls.h"
#include "OrvaneCore/signaling/websocket/WSEnvelope.h"
#include "OrvaneServer/Server.h"
#include "tests/OrvaneServer/FakeAuth.h"
#include "tests/OrvaneServer/WsClient.h"
#include "tests/OrvaneServer/WsStep.h"
#include "tests/support/SelfSignedCertificate.h"
#include "tests/support/TempDir.h"

using namespace orvane;
using namespace orvane::server;
using namespace orvane::server::wstest;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auth.addToken("tok-mac", {"alice", "mac-1", "mac", "Studio"});
    auth.addToken("tok-pad", {"alice", "pad-1", "pad", "Pad"});
    auth.addToken("tok-slow", {"alice", "pad-2", "pad", "Slow"});
    auth.addToken("tok-bob", {"bob", "pad-9", "pad", "Bob"});
    options.port = 0;
    options.timeouts = {std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
                        std::chrono::milliseconds(800)};
    options.maxQueuedBytes = 256 * 1024;
    fs::create_directories(temp.path / "www");
    std::ofstream(temp.path / "www/index.html") << "<p>pad</p>";
    std::ofstream(temp.path / "secret.txt") << "secret";
    options.webRoot = temp.path / "www";
    server.emplace(options, auth, clock, sink);
    server->start();
  }
  void TearDown() override {
    server.reset();
    for (const auto& line : sink.messages()) {
      EXPECT_EQ(line.find("tok-"), std::string::npos) << line;  // never a token
      if (HasFailure()) std::cerr << "log: " << line << '\n';
    }
  }
  // A client that has said hello.
  std::unique_ptr<Client> join(const std::string& token, const std::string& role, const std::string& device,
                               const char* from = "127.0.0.1") {
    auto c = std::make_unique<Client>();
    EXPECT_EQ(c->connect(server->port(), "Bearer " + token, "", from), 101U);
    c->send(hello(role, device));
    EXPECT_EQ(c->next().type, "welcome");
    return c;
  }
  bool logged(const std::string& part, std::chrono::milliseconds within = std::chrono::seconds(5)) {
    for (auto end = std::chrono::steady_clock::now() + within;;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      for (const auto& m : sink.messages()) {
        if (m.find(part) != std::string::npos) return true;
      }
      if (std::chrono::steady_clock::now() > end) return false;
    }
  }
  http::response<http::string_body> request(http::verb verb, const std::string& target, std::string body = "",
                                            const std::string& authorization = "") {
    asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
    http::request<http::string_body> req(verb, target, 11, std::move(body));
    if (!authorization.empty()) req.set(http::field::authorization, authorization);
    req.prepare_payload();
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.skip(verb == http::verb::head);
    step(ioc, stream, [&](auto h) { http::async_write(stream, req, h); });
    if (step(ioc, stream, [&](auto h) { http::async_read(stream, buffer, parser, h); })) {
      http::response<http::string_body> none;
      none.result(0);
      return none;
    }
    return parser.release();
  }

  test::TempDir temp;
  ServerOptions options;
  SystemClock clock;
  CapturingLogSink sink;
  fake::FakeAuth auth;
  std::optional<Server> server;
};

TEST_F(ServerTest, EverySocketAuthenticatesAtTheHandshake) {
  EXPECT_EQ(Client().connect(server->port(), ""), 401U);
  Client wrong;
  EXPECT_EQ(wrong.connect(server->port(), "Bearer tok-unknown"), 401U);
  EXPECT_EQ(wrong.header("WWW-Authenticate"), "Bearer");
  EXPECT_EQ(Client().connect(server->port(), "", "chat, bearer.tok-unknown"), 401U);

  // Browsers offer the token as a subprotocol; it is not echoed back when "orvane.v1" can be selected.
  Client browser;
  EXPECT_EQ(browser.connect(server->port(), "", "orvane.v1, bearer.tok-pad"), 101U);
  EXPECT_EQ(browser.header("Sec-WebSocket-Protocol"), "orvane.v1");
  EXPECT_TRUE(logged("refused 127.0.0.1"));
}

TEST_F(ServerTest, PairedDevicesSignalThroughTheServer) {
  auto mac = join("tok-mac", "mac", "mac-1");
  auto pad = join("tok-pad", "pad", "pad-1");
  pad->send(kListHosts);
  auto hosts = pad->next();
  ASSERT_EQ(hosts.type, "hosts");
  EXPECT_EQ(hosts.hosts->at(0).deviceId, "mac-1");

  pad->send(R"({"type":"connectRequest","targetDeviceId":"mac-1"})");
  EXPECT_EQ(mac->next().fromDeviceId, "pad-1");
  mac->send(R"({"type":"offer","sdp":"v=0\r\n\/x"})");
  auto offer = pad->next();
  EXPECT_EQ(offer.sdp, "v=0\r\n/x");
  EXPECT_EQ(offer.fromDeviceId, "mac-1");

  pad.reset();  // the pad vanishes without a close frame
  EXPECT_EQ(mac->next().type, "peerGone");
  for (auto line : {"opened for user alice", "hello: pad pad-1", "paired with", "closed: connection lost"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
}

TEST_F(ServerTest, AnAbusiveSocketIsClosedAndTheOthersAreStillServed) {
  auto bob = join("tok-bob", "pad", "pad-9");
  auto served = [&] { return bob->send(kListHosts) && bob->next().type == "hosts"; };

  auto pad = join("tok-pad", "pad", "pad-1");
  pad->send("{not json");
  EXPECT_EQ(pad->next().code, "bad_request");
  pad->send(std::string(300 * 1024, ' '));
  EXPECT_EQ(pad->closeCode(), websocket::close_code::too_big);
  ASSERT_TRUE(served());

  auto flood = join("tok-pad", "pad", "pad-1");
  for (int i = 0; i < 150 && flood->send(kListHosts); ++i) {
  }
  EXPECT_EQ(flood->closeCode(), websocket::close_code::policy_error);
  ASSERT_TRUE(served());
}

TEST_F(ServerTest, APadThatNeverReadsIsCutOffAtItsQueueBound) {
  // Long enough an idle time-out that only the queue bound can end it, even on a busy machine.
  options.timeouts.idle = std::chrono::seconds(30);
  server.emplace(options, auth, clock, sink);
  server->start();
  auto bob = join("tok-bob", "pad", "pad-9");
  auto served = [&] { return bob->send(kListHosts) && bob->next().type == "hosts"; };

  auto mac = join("tok-mac", "mac", "mac-1");
  auto slow = join("tok-slow", "pad", "pad-2");
  slow->send(R"({"type":"connectRequest","targetDeviceId":"mac-1"})");
  EXPECT_EQ(mac->next().type, "connectRequest");
  const std::string offer = R"({"type":"offer","sdp":")" + std::string(250 * 1024, 'a') + R"("})";
  for (int i = 0; i < 200 && !logged("not reading", std::chrono::milliseconds(0)); ++i) mac->send(offer);
  EXPECT_TRUE(logged("not reading (send queue full)"));
  EXPECT_EQ(mac->next().type, "peerGone");
  EXPECT_TRUE(served());
}

// A client frame as raw bytes: masked unless told otherwise, the length in its shortest form.
std::string rawFrame(std::uint8_t first, const std::string& payload, bool masked = true) {
  std::string out(1, static_cast<char>(first));
  const char mask = static_cast<char>(masked ? 0x80 : 0);
  if (payload.size() < 126) {
    out += static_cast<char>(mask | static_cast<char>(payload.size()));
  } else {
    out += static_cast<char>(mask | 126);
    out += static_cast<char>(payload.size() >> 8);
    out += static_cast<char>(payload.size() & 0xff);
  }
  if (!masked) return out + payload;
  const char key[4] = {1, 2, 3, 4};
  out.append(key, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) out += static_cast<char>(payload[i] ^ key[i % 4]);
  return out;
}

TEST_F(ServerTest, BrokenFramesCloseTheSocketWithTheirCodeAndNothingIsRouted) {
  const std::string offer = R"({"type":"offer","sdp":"v=0"})";
  const std::string hugeHeader = std::string("\x81\xff\x00\x00\x00\x01\x00\x00\x00\x00", 10) + "\x01\x02\x03\x04";
  const struct {
    const char* what;
    std::string bytes;
    std::uint16_t code;
  } cases[] = {
      {"unmasked", rawFrame(0x81, offer, false), websocket::close_code::protocol_error},
      {"reserved opcode", rawFrame(0x83, offer), websocket::close_code::protocol_error},
      {"reserved bits", rawFrame(0xc1, offer), websocket::close_code::protocol_error},
      {"fragmented ping", rawFrame(0x09, "x"), websocket::close_code::protocol_error},
      {"continuation first", rawFrame(0x80, offer), websocket::close_code::protocol_error},
      {"invalid UTF-8", rawFrame(0x81, "{\"type\":\"offer\",\"sdp\":\"\xc3\x28\"}"),
       websocket::close_code::bad_payload},
      {"4 GiB announced", hugeHeader, websocket::close_code::too_big},
  };
  auto mac = join("tok-mac", "mac", "mac-1");
  for (const auto& c : cases) {
    auto pad = join("tok-pad", "pad", "pad-1");
    pad->send(R"({"type":"connectRequest","targetDeviceId":"mac-1"})");
    ASSERT_EQ(mac->next().type, "connectRequest") << c.what;
    pad->sendRaw(c.bytes);
    EXPECT_EQ(pad->closeCode(), c.code) << c.what;
    EXPECT_EQ(mac->next().type, "peerGone") << c.what;  // and no offer before it
  }
  mac->send(kListHosts);
  EXPECT_EQ(mac->next().type, "hosts");
}

TEST_F(ServerTest, HalfOpenAndPartialHandshakesAreClosedAfterTheRequestTimeout) {
  const auto start = std::chrono::steady_clock::now();
  asio::io_context ioc;
  std::vector<std::unique_ptr<beast::tcp_stream>> silent;
  for (const char* sent : {"", "GET /v1/ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgr"}) {
    auto& s = *silent.emplace_back(std::make_unique<beast::tcp_stream>(ioc));
    s.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
    asio::write(s.socket(), asio::buffer(std::string(sent)));
  }
  auto bob = join("tok-bob", "pad", "pad-9");  // served meanwhile
  EXPECT_TRUE(bob->send(kListHosts));
  EXPECT_EQ(bob->next().type, "hosts");
  for (auto& s : silent) {
    char byte;
    beast::error_code ec = step(ioc, *s, [&](auto h) { s->async_read_some(asio::buffer(&byte, 1), h); });
    EXPECT_EQ(ec, asio::error::eof);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(ServerTest, WrongTokensFromOneAddressAreLimitedWhileOthersSignInPromptly) {
  std::atomic<bool> flooding = true;
  std::map<unsigned, int> statuses;
  std::thread flood([&] {
    for (int i = 0; flooding; ++i) ++statuses[Client().connect(server->port(), "Bearer wrong-" + std::to_string(i))];
  });
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    auto honest = join("tok-bob", "pad", "pad-9", "127.0.0.2");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << i;
  }
  // The limit is the address's, whatever it sends.
  Client sameAddress;
  EXPECT_EQ(sameAddress.connect(server->port(), "Bearer tok-pad"), 429U);
  EXPECT_EQ(sameAddress.header("Retry-After"), "5");
  EXPECT_EQ(request(http::verb::post, "/v1/auth/apple", R"({"appleIdentityToken":"x"})").result_int(), 429U);
  flooding = false;
  flood.join();

  const SignInLimits defaults;
  EXPECT_GE(statuses[401], static_cast<int>(defaults.failureBurst));
  EXPECT_LE(statuses[401], static_cast<int>(defaults.failureBurst) + 1);
  EXPECT_GT(statuses[429], 100);
  EXPECT_EQ(statuses.size(), 2U);
  int lines = 0;
  for (const auto& m : sink.messages()) lines += m.starts_with("refused 127.0.0.1:") ? 1 : 0;
  EXPECT_EQ(lines, 1);  // one window, one line
}

TEST_F(ServerTest, UnreadableAccountsAre503AndNotCountedAsFailedSignIns) {
  auth.storeDown = true;
  const SignInLimits defaults;
  for (int i = 0; i < static_cast<int>(defaults.failureBurst) + 3; ++i) {
    EXPECT_EQ(Client().connect(server->port(), "Bearer tok-pad"), 503U) << i;  // never 401, never 429
  }
  auth.storeDown = false;
  EXPECT_EQ(Client().connect(server->port(), "Bearer tok-pad"), 101U);
}

TEST_F(ServerTest, SilentSocketsAreDroppedPingingOnesKept) {
  auto silent = join("tok-pad", "pad", "pad-1");  // never reads, so never answers the server's ping
  auto live = join("tok-bob", "pad", "pad-9");
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_TRUE(live->ping());
  }
  EXPECT_TRUE(logged("closed: idle timeout", std::chrono::milliseconds(0)));
  EXPECT_TRUE(live->send(kListHosts));
  EXPECT_EQ(live->next().type, "hosts");
}

TEST_F(ServerTest, AccountEndpointsAndDeletionClosesTheUsersSockets) {
  auto exchange = request(http::verb::post, "/v1/auth/apple", R"({"appleIdentityToken":"x"})");
  EXPECT_EQ(exchange.result_int(), 200U);
  EXPECT_EQ(exchange[http::field::content_type], "application/json");
  EXPECT_EQ(exchange.body(), R"({"sessionToken":"issued","userId":"alice"})");
  EXPECT_EQ(auth.lastExchangeBody, R"({"appleIdentityToken":"x"})");
  EXPECT_EQ(request(http::verb::post, "/v1/auth/apple", std::string(65 * 1024, 'x')).result_int(), 413U);
  EXPECT_EQ(request(http::verb::get, "/v1/auth/apple").result_int(), 405U);

  auto mac = join("tok-mac", "mac", "mac-1");
  auto bob = join("tok-bob", "pad", "pad-9");
  EXPECT_EQ(request(http::verb::delete_, "/v1/auth/apple", "", "Bearer tok-pad").result_int(), 204U);
  EXPECT_EQ(mac->closeCode(), limits::kCloseRevoked);
  EXPECT_EQ(Client().connect(server->port(), "Bearer tok-mac"), 401U);
  bob->send(kListHosts);
  EXPECT_EQ(bob->next().type, "hosts");
}

TEST_F(ServerTest, StaticFilesStayInsideTheWebRoot) {
  auto index = request(http::verb::get, "/");
  EXPECT_EQ(index.result_int(), 200U);
  EXPECT_EQ(index[http::field::content_type], "text/html; charset=utf-8");
  EXPECT_EQ(index.body(), "<p>pad</p>");
  auto head = request(http::verb::head, "/index.html");
  EXPECT_EQ(head[http::field::content_length], "10");
  EXPECT_TRUE(head.body().empty());
  for (auto target : {"/../secret.txt", "/%2e%2e/secret.txt", "/..%2fsecret.txt", "/nothing"}) {
    EXPECT_EQ(request(http::verb::get, target).result_int(), 404U) << target;
  }
  EXPECT_EQ(request(http::verb::put, "/index.html").result_int(), 405U);
  EXPECT_EQ(request(http::verb::get, "/v1/ws").result_int(), 426U);

  ServerOptions bare;
  bare.port = 0;
  server.emplace(bare, auth, clock, sink);
  server->start();
  auto page = request(http::verb::get, "/");
  EXPECT_EQ(page.result_int(), 200U);
  EXPECT_NE(page.body().find("web pad is not installed"), std::string::npos);
}

TEST_F(ServerTest, TlsWhenGivenACertificateAndNoPlainFallback) {
  test::SelfSignedCertificate certificate;
  ServerOptions options;
  options.port = 0;
  options.tls = std::make_shared<asio::ssl::context>(certificate.serverContext());
  options.timeouts.handshake = std::chrono::milliseconds(500);
  server.emplace(options, auth, clock, sink);
  server->start();
  EXPECT_EQ(server->url(), "https://127.0.0.1:" + std::to_string(server->port()));
  asio::io_context silentIoc;
  beast::tcp_stream silent(silentIoc);  // connects and never says hello
  silent.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));

  asio::io_context ioc;
  auto trust = orvane::net::makeClientTlsContext(certificate.cert);
  websocket::stream<asio::ssl::stream<beast::tcp_stream>> ws(ioc, trust);
  beast::get_lowest_layer(ws).connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
  ASSERT_TRUE(orvane::net::prepareClientStream(ws.next_layer(), "localhost"));
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.next_layer().async_handshake(asio::ssl::stream_base::client, h); }));
  ws.set_option(websocket::stream_base::decorator(
      [](websocket::request_type& req) { req.set(http::field::authorization, "Bearer tok-pad"); }));
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.async_handshake("127.0.0.1", "/v1/ws", h); }));
  const std::string frame = hello("pad", "pad-1");
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.async_write(asio::buffer(frame), h); }));
  beast::flat_buffer buffer;
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.async_read(buffer, h); }));
  EXPECT_EQ(wsDecode(beast::buffers_to_string(buffer.data())).value().type, "welcome");
  // A frame of many TLS records, read while the server's read buffer grows and shrinks again.
  const std::string big = "{" + std::string(200 * 1024, ' ');
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.async_write(asio::buffer(big), h); }));
  buffer.clear();
  ASSERT_FALSE(step(ioc, ws, [&](auto h) { ws.async_read(buffer, h); }));
  EXPECT_EQ(wsDecode(beast::buffers_to_string(buffer.data())).value().code, "bad_request");

  EXPECT_EQ(request(http::verb::get, "/").result_int(), 0U);  // plain HTTP gets nothing

  char byte;
  EXPECT_EQ(step(silentIoc, silent, [&](auto h) { silent.async_read_some(asio::buffer(&byte, 1), h); }),
            asio::error::eof);

  // The server's own close frame goes through TLS too: a newer socket for the same device replaces this one.
  websocket::stream<asio::ssl::stream<beast::tcp_stream>> newer(ioc, trust);
  beast::get_lowest_layer(newer).connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
  ASSERT_TRUE(orvane::net::prepareClientStream(newer.next_layer(), "localhost"));
  ASSERT_FALSE(
      step(ioc, newer, [&](auto h) { newer.next_layer().async_handshake(asio::ssl::stream_base::client, h); }));
  newer.set_option(websocket::stream_base::decorator(
      [](websocket::request_type& req) { req.set(http::field::authorization, "Bearer tok-pad"); }));
  ASSERT_FALSE(step(ioc, newer, [&](auto h) { newer.async_handshake("127.0.0.1", "/v1/ws", h); }));
  ASSERT_FALSE(step(ioc, newer, [&](auto h) { newer.async_write(asio::buffer(frame), h); }));
  buffer.clear();
  EXPECT_EQ(step(ioc, ws, [&](auto h) { ws.async_read(buffer, h); }), websocket::error::closed);
  EXPECT_EQ(ws.reason().code, limits::kCloseReplaced);
}

}  // namespace
