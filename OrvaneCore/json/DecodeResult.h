#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace orvane {

// The outcome of decoding untrusted input: a value, or a short reason why the
// whole input was rejected.
template <typename T>
class DecodeResult {
 public:
  DecodeResult(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  static DecodeResult failure(std::string reason) { return DecodeResult(std::nullopt, std::move(reason)); }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const& {
    assert(ok());
    return *value_;
  }
  T& value() & {
    assert(ok());
    return *value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(*value_);
  }
  const std::string& error() const { return error_; }

 private:
  DecodeResult(std::nullopt_t, std::string reason) : error_(std::move(reason)) {}
  std::optional<T> value_;
  std::string error_;
};

}  // namespace orvane
