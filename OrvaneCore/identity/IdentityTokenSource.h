#pragma once

#include <filesystem>
#include <string>

#include "OrvaneCore/identity/Environment.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane {

// Obtains an identity token for the exchange: on Linux the place of the Sign
// in with Apple sheet. Fails with AppleSignInError.
class IdentityTokenSource {
 public:
  virtual ~IdentityTokenSource() = default;
  virtual Task<std::string> requestIdentityToken() = 0;
};

// A token the user supplies, looked up afresh on every request, first found
// wins: the variable ORVANE_IDENTITY_TOKEN; the file named by
// ORVANE_IDENTITY_TOKEN_FILE; the file given here. Surrounding whitespace is
// trimmed. Nothing configured, or a file that cannot be read, is
// cancelledOrFailed with a description that says what to set; an empty token
// or one that is not UTF-8 is noIdentityToken.
class UserSuppliedIdentityToken final : public IdentityTokenSource {
 public:
  static constexpr const char* kTokenVariable = "ORVANE_IDENTITY_TOKEN";
  static constexpr const char* kTokenFileVariable = "ORVANE_IDENTITY_TOKEN_FILE";

  explicit UserSuppliedIdentityToken(std::filesystem::path tokenFile = {},
                                     EnvironmentLookup environment = systemEnvironment);

  Task<std::string> requestIdentityToken() override;
  // The same, without a task.
  std::string readToken() const;

 private:
  std::filesystem::path tokenFile_;
  EnvironmentLookup environment_;
};

}  // namespace orvane
