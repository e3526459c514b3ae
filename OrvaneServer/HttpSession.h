#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "OrvaneServer/ServerCore.h"

namespace orvane::server {

// Serves one accepted connection: the TLS handshake when the server has a
// certificate, then HTTP requests one at a time until one upgrades to a
// WebSocket, the peer leaves or a time-out strikes.
void startHttpSession(ServerCore& core, boost::asio::ip::tcp::socket socket);

}  // namespace orvane::server
