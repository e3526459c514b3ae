#include "tests/support/SelfSignedCertificate.h"

#include <cstdlib>
#include <stdexcept>

#include "OrvaneCore/net/Tls.h"

namespace orvane::test {

SelfSignedCertificate::SelfSignedCertificate() {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
}

boost::asio::ssl::context SelfSignedCertificate::serverContext() const { return net::makeServerTlsContext(cert, key); }

}  // namespace orvane::test
