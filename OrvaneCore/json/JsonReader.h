#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/json/DecodeResult.h"
#include "OrvaneCore/json/Json.h"

namespace orvane {

// Reads the members of one JSON object under the rules every decoder of the
// wire formats shares:
//  - a required member must be present, non-null and of its JSON type;
//  - an optional member that is missing or null is absent, but present with
//    another type it fails;
//  - Int means a number whose exact value is an integer in range ("5.0" and
//    "1e3" qualify, "5.5" does not); Double means any number (the parser
//    has already refused those beyond the double range);
//  - enumerations match their strings exactly, case included.
// The first failure is kept as a short reason and every later read returns
// nothing, so a decoder reads all members and checks once.
class JsonObjectReader {
 public:
  explicit JsonObjectReader(const JsonValue::Object& object) : object_(&object) {}

  std::optional<double> requireDouble(std::string_view key);
  std::optional<std::int64_t> requireInt(std::string_view key);
  std::optional<std::int32_t> requireInt32(std::string_view key);
  std::optional<bool> requireBool(std::string_view key);
  std::optional<std::string> requireString(std::string_view key);
  const std::string* requireStringRef(std::string_view key);
  const JsonValue::Array* requireArray(std::string_view key);
  const JsonValue::Object* requireObject(std::string_view key);
  template <typename E>
  std::optional<E> requireEnum(std::string_view key, std::optional<E> (*parse)(std::string_view));

  std::optional<double> optionalDouble(std::string_view key);
  std::optional<std::int64_t> optionalInt(std::string_view key);
  std::optional<std::int32_t> optionalInt32(std::string_view key);
  std::optional<bool> optionalBool(std::string_view key);
  std::optional<std::string> optionalString(std::string_view key);
  const JsonValue::Array* optionalArray(std::string_view key);
  const JsonValue::Object* optionalObject(std::string_view key);

  // Records a failure found by the caller (e.g. in an array element).
  void fail(std::string reason);
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }
  template <typename T>
  DecodeResult<T> failure() const {
    return DecodeResult<T>::failure(error_);
  }

 private:
  enum class Need { required, optional };
  // The member to convert, or nullptr after recording why there is none.
  const JsonValue* member(std::string_view key, Need need);
  void wrongType(std::string_view key, std::string_view expected);

  template <typename T, typename Convert>
  std::optional<T> read(std::string_view key, Need need, std::string_view expected, Convert convert);
  template <typename T, typename Get>
  const T* view(std::string_view key, Need need, std::string_view expected, Get get);

  const JsonValue::Object* object_;
  std::string error_;
  bool failed_ = false;
};

template <typename E>
std::optional<E> JsonObjectReader::requireEnum(std::string_view key, std::optional<E> (*parse)(std::string_view)) {
  const std::string* text = requireStringRef(key);
  if (text == nullptr) return std::nullopt;
  std::optional<E> value = parse(*text);
  if (!value) wrongType(key, "a known value");
  return value;
}

// Joins the parts of a failure reason. (Also sidesteps a GCC 12 -O3 false
// -Wrestrict on chained std::string operator+.)
std::string concatText(std::initializer_list<std::string_view> parts);

// Parses `text` and requires an object at the top; the decoders' first step.
DecodeResult<JsonValue> parseJsonObject(std::string_view text, const JsonLimits& limits = {});

}  // namespace orvane
