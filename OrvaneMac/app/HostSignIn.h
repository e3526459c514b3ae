#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/identity/AuthManager.h"
#include "OrvaneCore/identity/Environment.h"
#include "OrvaneCore/signaling/Url.h"

namespace orvane::app {

// Where the host's identity token comes from on Linux, in the place of the
// Sign in with Apple sheet: an invite given on the command line or pasted
// into the popover, else ORVANE_IDENTITY_TOKEN or the file named by
// ORVANE_IDENTITY_TOKEN_FILE.
class HostSignIn {
 public:
  // `secrets`: where sessions are kept; the standard place when empty.
  explicit HostSignIn(Url server, std::optional<std::string> invite = std::nullopt,
                      EnvironmentLookup environment = systemEnvironment, std::filesystem::path secrets = {});

  // The coordinator's token request, or none when nothing could sign in
  // (no invite, no token configured and no session kept from an earlier
  // sign-in), so that the host says "Sign in required" instead of failing
  // an exchange it cannot make.
  AuthManager::IdentityTokenRequest request() const;

  // An invite the user pasted (token or pad link); false for anything else.
  bool useInvite(std::string_view text);

 private:
  bool tokenConfigured() const;
  bool sessionKept() const;

  Url server_;
  std::optional<std::string> invite_;
  EnvironmentLookup environment_;
  std::filesystem::path secrets_;
};

}  // namespace orvane::app
