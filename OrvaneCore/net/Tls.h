#pragma once

#include <boost/asio/ssl.hpp>
#include <optional>
#include <string>

namespace orvane::net {

// OpenSSL's one-time, process-wide initialisation. Safe to call from any
// thread, any number of times.
void initOpenSsl();

// A client TLS context that verifies the peer against the system's trust
// store, plus `extraCaFile` (PEM) when one is given, e.g. a self-hosted
// server's own certificate. TLS 1.2 at least.
boost::asio::ssl::context makeClientTlsContext(const std::string& extraCaFile = {});

// makeClientTlsContext() into `context`, or false with what a user reads in
// `error`: the CA file that cannot be used, or TLS unavailable.
bool makeClientTlsContext(const std::string& extraCaFile, std::optional<boost::asio::ssl::context>& context,
                          std::string& error);

// Sets SNI (for host names, not for IP literals) and the host-name (or IP)
// check of the peer certificate on a client stream before its handshake.
// Returns false when OpenSSL refuses the name.
bool prepareClientStream(SSL* ssl, const std::string& host);

template <typename Stream>
bool prepareClientStream(boost::asio::ssl::stream<Stream>& stream, const std::string& host) {
  stream.set_verify_mode(boost::asio::ssl::verify_peer);
  stream.set_verify_callback(boost::asio::ssl::host_name_verification(host));
  return prepareClientStream(stream.native_handle(), host);
}

// A server TLS context from a PEM certificate chain and private key.
// Throws boost::system::system_error when either cannot be loaded.
boost::asio::ssl::context makeServerTlsContext(const std::string& certChainFile, const std::string& keyFile);

}  // namespace orvane::net
