#pragma once

// A blocking WebSocket client for the server's tests: every step has a deadline,
// so a faulty server fails a test instead of hanging it.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <string>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane::server::wstest {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace asio = boost::asio;

// One handler type for every step: Beast instantiates its composed operations
// once per handler type, and a lambda per call site cost minutes of compiling.
struct StepDone {
  beast::error_code* result;
  template <class... Rest>
  void operator()(beast::error_code ec, Rest&&...) const {
    *result = ec;
  }
};

template <class Stream, class Start>
inline beast::error_code step(asio::io_context& ioc, Stream& stream, Start start) {
  beast::error_code result = asio::error::would_block;
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));
  start(StepDone{&result});
  ioc.restart();
  ioc.run();
  return result;
}

class Client {
 public:
  // The handshake's HTTP status: 101 when the socket is open.
  unsigned connect(std::uint16_t port, const std::string& authorization, const std::string& protocols = "",
                   const char* from = "127.0.0.1") {
    auto& socket = beast::get_lowest_layer(ws).socket();
    socket.open(asio::ip::tcp::v4());
    socket.bind(asio::ip::tcp::endpoint(asio::ip::make_address(from), 0));
    beast::get_lowest_layer(ws).connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws.set_option(websocket::stream_base::decorator([=](websocket::request_type& req) {
      if (!authorization.empty()) req.set(http::field::authorization, authorization);
      if (!protocols.empty()) req.set(http::field::sec_websocket_protocol, protocols);
    }));
    step(ioc, ws, [&](auto h) { ws.async_handshake(response, "127.0.0.1", "/v1/ws", h); });
    return response.result_int();
  }
  bool send(const std::string& text) {
    return !step(ioc, ws, [&](auto h) { ws.async_write(asio::buffer(text), h); });
  }
  // The next frame; type "closed" once the socket has closed (see ws.reason()).
  WSEnvelope next() {
    beast::flat_buffer buffer;
    if (step(ioc, ws, [&](auto h) { ws.async_read(buffer, h); })) return closed();
    return wsDecode(beast::buffers_to_string(buffer.data())).value();
  }
  static WSEnvelope closed() {
    WSEnvelope e;
    e.type = "closed";
    return e;
  }
  // Reads until the socket closes; the close code the server gave.
  std::uint16_t closeCode() {
    while (next().type != "closed") {
    }
    return ws.reason().code;
  }

  asio::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
  websocket::response_type response;
};

inline std::string hello(const std::string& role, const std::string& device) {
  return R"({"type":"hello","role":")" + role + R"(","deviceId":")" + device + R"(","deviceName":"N"})";
}
inline const std::string kListHosts = R"({"type":"listHosts"})";

}  // namespace orvane::server::wstest
