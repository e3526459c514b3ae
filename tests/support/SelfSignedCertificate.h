#pragma once

#include <boost/asio/ssl/context.hpp>
#include <string>

#include "tests/support/TempDir.h"

namespace orvane::test {

// A fresh self-signed P-256 certificate for the name "localhost" only (not
// 127.0.0.1, so a client can be tested for checking the name), as PEM files.
struct SelfSignedCertificate {
  SelfSignedCertificate();  // throws std::runtime_error when openssl fails
  boost::asio::ssl::context serverContext() const;  // presents it

  TempDir dir;
  std::string cert = (dir.path / "cert.pem").string(), key = (dir.path / "key.pem").string();
};

}  // namespace orvane::test
