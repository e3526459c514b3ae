#include "OrvaneCore/net/Tls.h"

#include <openssl/ssl.h>

#include <boost/asio/ip/address.hpp>

#include "OrvaneCore/runtime/Once.h"

namespace orvane::net {

namespace ssl = boost::asio::ssl;

void initOpenSsl() {
  static Once once;
  once.run([] { OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr); });
}

ssl::context makeClientTlsContext(const std::string& extraCaFile) {
  initOpenSsl();
  ssl::context context(ssl::context::tls_client);
  context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                      ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  context.set_default_verify_paths();
  if (!extraCaFile.empty()) context.load_verify_file(extraCaFile);
  context.set_verify_mode(ssl::verify_peer);
  return context;
}

bool makeClientTlsContext(const std::string& extraCaFile, std::optional<ssl::context>& context, std::string& error) {
  try {
    context.emplace(makeClientTlsContext(extraCaFile));
    return true;
  } catch (const std::exception& e) {
    error = extraCaFile.empty() ? std::string("TLS is unavailable: ") + e.what()
                                : "Cannot use the CA file " + extraCaFile + ": " + e.what();
    return false;
  }
}

bool prepareClientStream(SSL* ssl, const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  if (!ec) return true;  // an IP literal: no SNI, the certificate check covers the address
  return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

ssl::context makeServerTlsContext(const std::string& certChainFile, const std::string& keyFile) {
  initOpenSsl();
  ssl::context context(ssl::context::tls_server);
  context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                      ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
  context.use_certificate_chain_file(certChainFile);
  context.use_private_key_file(keyFile, ssl::context::pem);
  return context;
}

}  // namespace orvane::net
