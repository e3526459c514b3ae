#pragma once

#include <filesystem>
#include <string>

#include "OrvaneServer/auth/Jws.h"

namespace orvane::server {

inline constexpr const char* kSigningKeyFile = "signing-key.pem";

// Creates the data directory (0700) when missing; throws std::runtime_error
// with a message for the user when it is not a writable directory.
void prepareDataDir(const std::filesystem::path& dir);

// The server's P-256 key. Its kid is derived from the public key, so every
// process that loads the file names it the same way.
struct LocalKey {
  jws::Pkey key;
  std::string kid;
};

// Loads `signing-key.pem` from the data directory, creating it (0600) on
// first use. Processes racing to create it all end up with the one key that
// was published first. Throws std::runtime_error when it cannot.
LocalKey loadOrCreateLocalKey(const std::filesystem::path& dataDir);

}  // namespace orvane::server
