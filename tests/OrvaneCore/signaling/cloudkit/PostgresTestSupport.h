#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "OrvaneCore/signaling/cloudkit/PostgresCloudKitDatabase.h"
#include "tests/support/PostgresServer.h"

namespace orvane::test {

// One throwaway server for the whole test binary, started by the first test
// that asks (initdb takes a second or two); null when PostgreSQL is missing.
inline PostgresServer* sharedPostgres() {
  static const std::unique_ptr<PostgresServer> server = []() -> std::unique_ptr<PostgresServer> {
    if (PostgresServer::binDir().empty()) return nullptr;
    return std::make_unique<PostgresServer>();
  }();
  return server.get();
}

// Short timeouts: a test waits for a lost server seconds, not minutes.
inline PostgresCloudKitDatabase::Options postgresOptions(std::string url) {
  PostgresCloudKitDatabase::Options options;
  options.url = std::move(url);
  options.connectTimeout = std::chrono::seconds(2);
  options.firstBackoff = std::chrono::milliseconds(50);
  options.maxBackoff = std::chrono::milliseconds(500);
  return options;
}

}  // namespace orvane::test
