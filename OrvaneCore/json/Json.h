#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/json/DecodeResult.h"

namespace orvane {

struct JsonMember;

// A JSON number as strict readers need it: the nearest double, and whether the
// number's exact value is an integer that fits in signed 64 bits. The second
// fact is decided from the text, so "5.0" and "1e3" are integers while
// 9223372036854775808 is not, whatever a double would round it to.
struct JsonNumber {
  double value = 0;
  std::int64_t integer = 0;  // meaningful only when isInteger
  bool isInteger = false;

  static JsonNumber fromInt(std::int64_t v) { return {static_cast<double>(v), v, true}; }
};

// A parsed JSON document. Objects keep their members in text order with
// unique keys (the last of duplicate keys wins).
class JsonValue {
 public:
  enum class Kind : std::uint8_t { null, boolean, number, string, array, object };
  using Array = std::vector<JsonValue>;
  using Object = std::vector<JsonMember>;

  // Defined below JsonMember: building the variant needs every alternative complete.
  JsonValue();
  explicit JsonValue(bool b);
  explicit JsonValue(JsonNumber n);
  explicit JsonValue(std::string s);
  explicit JsonValue(Array a);
  explicit JsonValue(Object o);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool isNull() const { return kind() == Kind::null; }

  // Typed views: nothing (or nullptr) when the value is of another JSON type.
  std::optional<bool> asBool() const;
  std::optional<double> asDouble() const;  // any finite number
  std::optional<std::int64_t> asInt() const;
  std::optional<std::int32_t> asInt32() const;
  const JsonNumber* asNumber() const { return std::get_if<JsonNumber>(&data_); }
  const std::string* asString() const { return std::get_if<std::string>(&data_); }
  const Array* asArray() const { return std::get_if<Array>(&data_); }
  const Object* asObject() const { return std::get_if<Object>(&data_); }
  Array* asArray() { return std::get_if<Array>(&data_); }
  Object* asObject() { return std::get_if<Object>(&data_); }

  // The member named `key` of an object; nullptr if absent or not an object.
  const JsonValue* find(std::string_view key) const;

 private:
  std::variant<std::monostate, bool, JsonNumber, std::string, Array, Object> data_;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

inline JsonValue::JsonValue() = default;
inline JsonValue::JsonValue(bool b) : data_(b) {}
inline JsonValue::JsonValue(JsonNumber n) : data_(n) {}
inline JsonValue::JsonValue(std::string s) : data_(std::move(s)) {}
inline JsonValue::JsonValue(Array a) : data_(std::move(a)) {}
inline JsonValue::JsonValue(Object o) : data_(std::move(o)) {}

// Bounds for untrusted text. Both are far above anything a peer legitimately
// sends and low enough that a hostile message costs little.
struct JsonLimits {
  std::size_t maxBytes = std::size_t{1} << 20;
  std::size_t maxDepth = 64;
};

// RFC 8259 text, UTF-8 checked, one value and nothing after it. Numbers
// beyond the double range are rejected rather than turned into infinity.
DecodeResult<JsonValue> parseJson(std::string_view text, const JsonLimits& limits = {});

// The exact integer a JSON number lexeme denotes, if it is one within signed
// 64 bits. Expects a lexeme the JSON grammar accepts.
std::optional<std::int64_t> exactIntegerFromLexeme(std::string_view lexeme);

}  // namespace orvane
