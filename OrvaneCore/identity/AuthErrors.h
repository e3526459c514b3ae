#pragma once

#include <exception>
#include <optional>
#include <string>

namespace orvane {

// The session token the signalling server issued for this device, and the
// server's identifier of its user.
struct AppleAuthResult {
  std::string sessionToken;
  std::string userId;

  bool operator==(const AppleAuthResult&) const = default;
};

// The auth server answered, but not as the operation accepts. what() is the
// localized description the host shows after "Sign in failed: ".
class AppleAuthError : public std::exception {
 public:
  enum class Kind { http, malformedResponse };

  static AppleAuthError http(int status) { return AppleAuthError(Kind::http, status); }
  static AppleAuthError malformedResponse() { return AppleAuthError(Kind::malformedResponse, 0); }

  Kind kind() const { return kind_; }
  // The HTTP status of an `http` error.
  std::optional<int> status() const { return kind_ == Kind::http ? std::optional<int>(status_) : std::nullopt; }
  bool isHttp(int status) const { return kind_ == Kind::http && status_ == status; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const AppleAuthError& other) const { return kind_ == other.kind_ && status_ == other.status_; }

 private:
  AppleAuthError(Kind kind, int status)
      : kind_(kind),
        status_(status),
        description_(kind == Kind::http ? "The server answered " + std::to_string(status)
                                        : std::string("The server's answer could not be read")) {}
  Kind kind_;
  int status_;
  std::string description_;
};

// Obtaining the identity token failed. On Linux the "system sheet" is the
// identity-token source, so cancelledOrFailed carries that source's own
// description of what is missing.
class AppleSignInError : public std::exception {
 public:
  enum class Kind { cancelledOrFailed, noIdentityToken };

  static AppleSignInError cancelledOrFailed(std::string underlying) {
    return AppleSignInError(Kind::cancelledOrFailed, std::move(underlying));
  }
  static AppleSignInError noIdentityToken() {
    return AppleSignInError(Kind::noIdentityToken, "No usable identity token: it is empty or not valid UTF-8");
  }

  Kind kind() const { return kind_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  AppleSignInError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}
  Kind kind_;
  std::string description_;
};

// The request never got an HTTP answer: it could not be made, resolving,
// connecting, TLS or the exchange of bytes failed, it timed out, or the client
// was destroyed while waiting. The counterpart of the URL session's own errors.
class AuthTransportError : public std::exception {
 public:
  enum class Reason { invalidRequest, resolve, connect, tls, send, receive, timedOut, cancelled };

  AuthTransportError(Reason reason, std::string description) : reason_(reason), description_(std::move(description)) {}

  Reason reason() const { return reason_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Reason reason_;
  std::string description_;
};

}  // namespace orvane
