#include "OrvaneCore/json/JsonReader.h"

namespace orvane {

const JsonValue* JsonObjectReader::member(std::string_view key, Need need) {
  if (failed_) return nullptr;
  for (const JsonMember& m : *object_) {
    if (m.key != key) continue;
    if (!m.value.isNull()) return &m.value;
    break;
  }
  if (need == Need::required) fail(concatText({"missing \"", key, "\""}));
  return nullptr;
}

void JsonObjectReader::wrongType(std::string_view key, std::string_view expected) {
  fail(concatText({"\"", key, "\" is not ", expected}));
}

void JsonObjectReader::fail(std::string reason) {
  if (failed_) return;
  failed_ = true;
  error_ = std::move(reason);
}

template <typename T, typename Convert>
std::optional<T> JsonObjectReader::read(std::string_view key, Need need, std::string_view expected, Convert convert) {
  const JsonValue* value = member(key, need);
  if (value == nullptr) return std::nullopt;
  std::optional<T> converted = convert(*value);
  if (!converted) wrongType(key, expected);
  return converted;
}

namespace {
constexpr std::string_view kNumber = "a number";
constexpr std::string_view kInteger = "an integer in 64 bits";
constexpr std::string_view kInteger32 = "an integer in 32 bits";
constexpr std::string_view kBoolean = "a boolean";
constexpr std::string_view kString = "a string";
constexpr std::string_view kArray = "an array";
constexpr std::string_view kObject = "an object";

const auto toDouble = [](const JsonValue& v) { return v.asDouble(); };
const auto toInt = [](const JsonValue& v) { return v.asInt(); };
const auto toInt32 = [](const JsonValue& v) { return v.asInt32(); };
const auto toBool = [](const JsonValue& v) { return v.asBool(); };
const auto toString = [](const JsonValue& v) -> std::optional<std::string> {
  if (const std::string* s = v.asString()) return *s;
  return std::nullopt;
};
}  // namespace

std::optional<double> JsonObjectReader::requireDouble(std::string_view key) {
  return read<double>(key, Need::required, kNumber, toDouble);
}
std::optional<std::int64_t> JsonObjectReader::requireInt(std::string_view key) {
  return read<std::int64_t>(key, Need::required, kInteger, toInt);
}
std::optional<std::int32_t> JsonObjectReader::requireInt32(std::string_view key) {
  return read<std::int32_t>(key, Need::required, kInteger32, toInt32);
}
std::optional<bool> JsonObjectReader::requireBool(std::string_view key) {
  return read<bool>(key, Need::required, kBoolean, toBool);
}
std::optional<std::string> JsonObjectReader::requireString(std::string_view key) {
  return read<std::string>(key, Need::required, kString, toString);
}
std::optional<double> JsonObjectReader::optionalDouble(std::string_view key) {
  return read<double>(key, Need::optional, kNumber, toDouble);
}
std::optional<std::int64_t> JsonObjectReader::optionalInt(std::string_view key) {
  return read<std::int64_t>(key, Need::optional, kInteger, toInt);
}
std::optional<std::int32_t> JsonObjectReader::optionalInt32(std::string_view key) {
  return read<std::int32_t>(key, Need::optional, kInteger32, toInt32);
}
std::optional<bool> JsonObjectReader::optionalBool(std::string_view key) {
  return read<bool>(key, Need::optional, kBoolean, toBool);
}
std::optional<std::string> JsonObjectReader::optionalString(std::string_view key) {
  return read<std::string>(key, Need::optional, kString, toString);
}

template <typename T, typename Get>
const T* JsonObjectReader::view(std::string_view key, Need need, std::string_view expected, Get get) {
  const JsonValue* value = member(key, need);
  if (value == nullptr) return nullptr;
  const T* typed = get(*value);
  if (typed == nullptr) wrongType(key, expected);
  return typed;
}

namespace {
const auto stringView = [](const JsonValue& v) { return v.asString(); };
const auto arrayView = [](const JsonValue& v) { return v.asArray(); };
const auto objectView = [](const JsonValue& v) { return v.asObject(); };
}  // namespace

const std::string* JsonObjectReader::requireStringRef(std::string_view key) {
  return view<std::string>(key, Need::required, kString, stringView);
}
const JsonValue::Array* JsonObjectReader::requireArray(std::string_view key) {
  return view<JsonValue::Array>(key, Need::required, kArray, arrayView);
}
const JsonValue::Object* JsonObjectReader::requireObject(std::string_view key) {
  return view<JsonValue::Object>(key, Need::required, kObject, objectView);
}
const JsonValue::Array* JsonObjectReader::optionalArray(std::string_view key) {
  return view<JsonValue::Array>(key, Need::optional, kArray, arrayView);
}
const JsonValue::Object* JsonObjectReader::optionalObject(std::string_view key) {
  return view<JsonValue::Object>(key, Need::optional, kObject, objectView);
}

std::string concatText(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (std::string_view part : parts) text.append(part);
  return text;
}

DecodeResult<JsonValue> parseJsonObject(std::string_view text, const JsonLimits& limits) {
  DecodeResult<JsonValue> parsed = parseJson(text, limits);
  if (parsed && parsed.value().asObject() == nullptr) return DecodeResult<JsonValue>::failure("not a JSON object");
  return parsed;
}

}  // namespace orvane
