#pragma once

#include <gtest/gtest.h>

#include <string>

#include "OrvaneCore/identity/AuthErrors.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

namespace orvane::testing {

using test::TempDir;

// How a call ended, as one comparable word: "ok", "http(401)",
// "malformedResponse", "transport(timedOut)", "cancelledOrFailed(why)", ...
inline std::string outcome(std::exception_ptr error) {
  static const char* const kReasons[] = {"invalidRequest", "resolve", "connect",  "tls",
                                         "send",           "receive", "timedOut", "cancelled"};
  if (!error) return "ok";
  try {
    std::rethrow_exception(error);
  } catch (const AppleAuthError& e) {
    return e.status() ? "http(" + std::to_string(*e.status()) + ")" : "malformedResponse";
  } catch (const AuthTransportError& e) {
    return std::string("transport(") + kReasons[static_cast<int>(e.reason())] + ")";
  } catch (const AppleSignInError& e) {
    if (e.kind() == AppleSignInError::Kind::noIdentityToken) return "noIdentityToken";
    return std::string("cancelledOrFailed(") + e.what() + ")";
  } catch (const std::exception& e) {
    return e.what();
  }
}

// Runs `body` (a lambda returning Task<void>) on `exec` until it ends; its
// wake-ups may come from real threads.
template <typename Fn>
std::string run(ManualExecutor& exec, Fn body) {
  try {
    test::await(exec, body());
  } catch (...) {
    return outcome(std::current_exception());
  }
  return "ok";
}

}  // namespace orvane::testing
