// The client of the server's auth endpoint: the requests it sends, the answers it accepts, time-out, TLS.
#include "OrvaneCore/identity/AppleAuthClient.h"
#include "tests/OrvaneCore/identity/TestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/SelfSignedCertificate.h"

using namespace orvane;
using namespace orvane::testing;
namespace http = boost::beast::http;
using Request = test::LoopbackServer::Request;

namespace {

std::string reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// A server that answers with the raw bytes `answer` gives: "" closes without
// answering, nullopt holds on until the client quits.
struct TestServer : test::LoopbackServer {
  using Answer = std::function<std::optional<std::string>(const Request&)>;
  explicit TestServer(Answer answer, boost::asio::ssl::context* tls = nullptr)
      : LoopbackServer(
            [answer = std::move(answer)](Connection& c) {
              if (auto bytes = answer(c.request)) {
                c.write(*bytes);
              } else {
                c.waitForClientClose();
              }
            },
            tls) {}
};

Url baseFor(const std::string& host, std::uint16_t port, const std::string& scheme = "ws") {
  return authBaseURL(Url::parse(scheme + "://" + host + ":" + std::to_string(port) + "/v1/ws").value());
}

std::string exchange(ManualExecutor& exec, AppleAuthClient& client, AppleAuthResult* result = nullptr) {
  return run(exec, [&]() -> Task<void> {
    AppleAuthResult got = co_await client.exchange("id/tok", "host-1", "mac", "Dev \"box\"");
    if (result) *result = got;
  });
}

}  // namespace

TEST(AuthBaseURL, MapsWebSocketSchemesAndDropsOnlyThePath) {
  const auto base = [](const char* text) { return authBaseURL(Url::parse(text).value()).toString(); };
  EXPECT_EQ(base("ws://example.com:8080/v1/ws"), "http://example.com:8080");
  EXPECT_EQ(base("wss://signal.orvane.app/a/b"), "https://signal.orvane.app");
  EXPECT_EQ(base("https://h.example/x"), "https://h.example");  // other schemes stay
  EXPECT_EQ(base("wss://h.example/x?k=v#frag"), "https://h.example?k=v#frag");
}

TEST(AppleAuthClient, SendsTheRequestsTheServerExpects) {
  TestServer server([](auto&) { return reply(200, R"({"sessionToken":"sess-1","extra":[1],"userId":"user-1"})"); });
  ManualExecutor exec;
  AppleAuthClient client(baseFor("127.0.0.1", server.port()), exec);
  AppleAuthResult result;
  EXPECT_EQ(exchange(exec, client, &result), "ok");
  EXPECT_EQ(result, (AppleAuthResult{"sess-1", "user-1"}));
  EXPECT_EQ(run(exec, [&]() -> Task<void> { co_await client.deleteAccount("tok-1"); }), "ok");
  EXPECT_EQ(run(exec, [&]() -> Task<void> { co_await client.deleteAccount("tok\r\nX-Evil: 1"); }),
            "transport(invalidRequest)");

  const auto sent = server.requests.get();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].method(), http::verb::post);
  EXPECT_EQ(sent[0].target(), "/v1/auth/apple");
  EXPECT_EQ(sent[0][http::field::host], "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(sent[0][http::field::content_type], "application/json");
  EXPECT_EQ(sent[0].body(),
            R"({"appleIdentityToken":"id\/tok","deviceId":"host-1","role":"mac","deviceName":"Dev \"box\""})");
  EXPECT_EQ(sent[1].method(), http::verb::delete_);
  EXPECT_EQ(sent[1].target(), "/v1/auth/apple");
  EXPECT_EQ(sent[1][http::field::authorization], "Bearer tok-1");
  EXPECT_TRUE(sent[1].body().empty());
}

TEST(AppleAuthClient, AcceptsOnlyTheAnswersEachCallExpects) {
  std::string next;
  TestServer server([&](auto&) { return next; });
  ManualExecutor exec;
  AppleAuthClient client(baseFor("127.0.0.1", server.port()), exec);
  const std::pair<std::string, std::string> exchanges[] = {
      {reply(401, ""), "http(401)"},
      {reply(500, R"({"sessionToken":"s","userId":"u"})"), "http(500)"},
      {reply(200, R"({"sessionToken":"s"})"), "malformedResponse"},
      {reply(200, R"({"sessionToken":"s","userId":7})"), "malformedResponse"},
      {reply(200, "not json"), "malformedResponse"},
      {reply(200, R"({"sessionToken":"","userId":"u"})"), "malformedResponse"},
      // Would inject a header into every later request that carries it.
      {reply(200, R"({"sessionToken":"s\r\nX-Evil: 1","userId":"u"})"), "malformedResponse"},
      {reply(200, R"({"sessionToken":"s","userId":")" + std::string(70 * 1024, 'u') + "\"}"), "malformedResponse"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(20 * 1024, 'h') + "\r\n\r\n", "malformedResponse"},
      {"SSH-2.0-OpenSSH_9.2\r\n\r\n", "malformedResponse"},
      {"", "transport(receive)"},
  };
  for (const auto& [raw, expected] : exchanges) {
    next = raw;
    EXPECT_EQ(exchange(exec, client), expected) << raw.substr(0, 60);
  }
  for (const auto& [status, expected] :
       std::vector<std::pair<int, std::string>>{{200, "ok"}, {204, "ok"}, {404, "ok"}, {401, "http(401)"}}) {
    next = reply(status, "");
    EXPECT_EQ(run(exec, [&]() -> Task<void> { co_await client.deleteAccount("tok"); }), expected) << status;
  }
  const std::uint16_t closedPort = TestServer([](auto&) { return std::string(); }).port();
  AppleAuthClient refused(baseFor("127.0.0.1", closedPort), exec);
  EXPECT_EQ(exchange(exec, refused), "transport(connect)");
}

TEST(AppleAuthClient, TimesOutAfterSixtySecondsOnTheExecutorClockAndSurvivesItsOwnDestruction) {
  ManualExecutor exec;
  TestServer hanging([](auto&) { return std::nullopt; });
  for (bool destroy : {false, true}) {
    auto client = std::make_unique<AppleAuthClient>(baseFor("127.0.0.1", hanging.port()), exec);
    TaskHandle handle = spawn(exec, [&]() -> Task<void> { co_await client->deleteAccount("tok"); });
    const std::size_t before = hanging.requests.get().size();
    ASSERT_TRUE(exec.runUntil([&] { return hanging.requests.get().size() > before; }, Seconds(5)));
    if (destroy) {
      client.reset();
    } else {
      exec.advance(Seconds(59.9));
      EXPECT_FALSE(exec.runUntil([&] { return !handle.running(); }, Seconds(0.05)));
      exec.advance(Seconds(0.1));
    }
    ASSERT_TRUE(exec.runUntil([&] { return !handle.running(); }, Seconds(5)));
    EXPECT_EQ(outcome(handle.error()), destroy ? "transport(cancelled)" : "transport(timedOut)");
  }
}

TEST(AppleAuthClient, HttpsTrustsTheExtraCaAndChecksTheHostName) {
  test::SelfSignedCertificate certificate;
  auto tls = certificate.serverContext();
  TestServer server([](auto&) { return reply(200, R"({"sessionToken":"s","userId":"u"})"); }, &tls);
  ManualExecutor exec;
  const auto via = [&](const std::string& host, const std::string& ca) {
    AppleAuthClient client(baseFor(host, server.port(), "wss"), exec, {.extraCaFile = ca});
    return exchange(exec, client);
  };
  EXPECT_EQ(via("localhost", certificate.cert), "ok");
  EXPECT_EQ(via("localhost", ""), "transport(tls)");  // not trusted
  EXPECT_EQ(via("127.0.0.1", certificate.cert), "transport(tls)");  // not the certificate's name
}
