#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "OrvaneServer/auth/Auth.h"

namespace orvane::server::fake {

// Accounts in memory for the server's tests and benchmark: a session token per
// device, deletion by bearer token (which tells onUserRevoked, as the real
// library does).
class FakeAuth final : public Auth {
 public:
  void addToken(const std::string& token, SessionIdentity identity) {
    std::lock_guard lock(mutex_);
    tokens_[token] = std::move(identity);
  }

  HttpReply exchange(std::string_view body) override {
    std::lock_guard lock(mutex_);
    lastExchangeBody = std::string(body);
    return {200, R"({"sessionToken":"issued","userId":"alice"})"};
  }

  HttpReply deleteAccount(std::string_view authorization) override {
    std::string user;
    {
      std::lock_guard lock(mutex_);
      auto it =
          authorization.starts_with("Bearer ") ? tokens_.find(std::string(authorization.substr(7))) : tokens_.end();
      if (it == tokens_.end()) return {401, {}};
      user = it->second.userId;
      std::erase_if(tokens_, [&](const auto& entry) { return entry.second.userId == user; });
    }
    if (onUserRevoked) onUserRevoked(user);
    return {204, {}};
  }

  std::optional<SessionIdentity> authenticate(std::string_view token) override {
    if (storeDown) throw std::runtime_error("database unavailable");
    std::lock_guard lock(mutex_);
    auto it = tokens_.find(std::string(token));
    if (it == tokens_.end()) return std::nullopt;
    return it->second;
  }

  std::string lastExchangeBody;
  std::atomic<bool> storeDown = false;  // authenticate() throws, as the real one does without its database

 private:
  std::mutex mutex_;
  std::map<std::string, SessionIdentity> tokens_;
};

}  // namespace orvane::server::fake
