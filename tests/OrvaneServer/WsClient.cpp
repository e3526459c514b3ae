#include "tests/OrvaneServer/WsClient.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/OrvaneServer/WsStep.h"

namespace orvane::server::wstest {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace asio = boost::asio;

struct Client::Impl {
  asio::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
  websocket::response_type response;
};

Client::Client() : impl_(std::make_unique<Impl>()) {}
Client::~Client() = default;

unsigned Client::connect(std::uint16_t port, const std::string& authorization, const std::string& protocols,
                         const char* from) {
  auto& ws = impl_->ws;
  auto& socket = beast::get_lowest_layer(ws).socket();
  socket.open(asio::ip::tcp::v4());
  socket.bind(asio::ip::tcp::endpoint(asio::ip::make_address(from), 0));
  beast::get_lowest_layer(ws).connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  ws.set_option(websocket::stream_base::decorator([=](websocket::request_type& req) {
    if (!authorization.empty()) req.set(http::field::authorization, authorization);
    if (!protocols.empty()) req.set(http::field::sec_websocket_protocol, protocols);
  }));
  step(impl_->ioc, ws, [&](auto h) { ws.async_handshake(impl_->response, "127.0.0.1", "/v1/ws", h); });
  return impl_->response.result_int();
}

std::string Client::header(std::string_view name) const {
  auto found = impl_->response.find(name);
  return found == impl_->response.end() ? std::string() : std::string(found->value());
}

bool Client::send(const std::string& text) {
  return !step(impl_->ioc, impl_->ws, [&](auto h) { impl_->ws.async_write(asio::buffer(text), h); });
}

bool Client::ping() {
  return !step(impl_->ioc, impl_->ws, [&](auto h) { impl_->ws.async_ping({}, h); });
}

void Client::sendRaw(const std::string& bytes) { asio::write(impl_->ws.next_layer().socket(), asio::buffer(bytes)); }

WSEnvelope Client::next() {
  beast::flat_buffer buffer;
  if (step(impl_->ioc, impl_->ws, [&](auto h) { impl_->ws.async_read(buffer, h); })) {
    WSEnvelope closed;
    closed.type = "closed";
    return closed;
  }
  return wsDecode(beast::buffers_to_string(buffer.data())).value();
}

std::uint16_t Client::closeCode() {
  while (next().type != "closed") {
  }
  return impl_->ws.reason().code;
}

}  // namespace orvane::server::wstest
