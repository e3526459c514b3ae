#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

#include "OrvaneServer/ServerCore.h"

namespace orvane::server {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

struct WsPeer {
  SocketId id = 0;  // admitted by the hub
  std::string userId;
  std::string address;      // for log lines
  std::string subprotocol;  // selected in the handshake answer, may be empty
};

// Takes over `stream` after an authenticated upgrade request and serves the
// WebSocket until it closes. Stream: beast::tcp_stream or its TLS stream.
template <class Stream>
void startWsSession(ServerCore& core, Stream&& stream, HttpRequest request, WsPeer peer);

}  // namespace orvane::server
