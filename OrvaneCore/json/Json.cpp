#include "OrvaneCore/json/Json.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>

namespace orvane {

std::optional<bool> JsonValue::asBool() const {
  if (const bool* b = std::get_if<bool>(&data_)) return *b;
  return std::nullopt;
}

std::optional<double> JsonValue::asDouble() const {
  const JsonNumber* n = asNumber();
  if (n == nullptr || !std::isfinite(n->value)) return std::nullopt;
  return n->value;
}

std::optional<std::int64_t> JsonValue::asInt() const {
  const JsonNumber* n = asNumber();
  if (n == nullptr || !n->isInteger) return std::nullopt;
  return n->integer;
}

std::optional<std::int32_t> JsonValue::asInt32() const {
  const auto i = asInt();
  if (!i || *i < std::numeric_limits<std::int32_t>::min() || *i > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*i);
}

const JsonValue* JsonValue::find(std::string_view key) const {
  const Object* object = asObject();
  if (object == nullptr) return nullptr;
  for (const JsonMember& member : *object) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

std::optional<std::int64_t> exactIntegerFromLexeme(std::string_view lexeme) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t begin = i;
    while (i < lexeme.size() && lexeme[i] >= '0' && lexeme[i] <= '9') ++i;
    return lexeme.substr(begin, i - begin);
  };
  const bool negative = !lexeme.empty() && lexeme[0] == '-';
  if (negative) ++i;
  const std::string_view intPart = digits();
  std::string_view fracPart;
  if (i < lexeme.size() && lexeme[i] == '.') {
    ++i;
    fracPart = digits();
    if (fracPart.empty()) return std::nullopt;
  }
  // Saturate the exponent: anything past a billion is out of range either way,
  // and the digit counts below stay far from overflowing.
  constexpr std::int64_t kExponentCap = 1'000'000'000;
  std::int64_t exponent = 0;
  if (i < lexeme.size() && (lexeme[i] == 'e' || lexeme[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < lexeme.size() && (lexeme[i] == '+' || lexeme[i] == '-')) negativeExponent = lexeme[i++] == '-';
    const std::string_view expPart = digits();
    if (expPart.empty()) return std::nullopt;
    for (char c : expPart) exponent = std::min(exponent * 10 + (c - '0'), kExponentCap);
    if (negativeExponent) exponent = -exponent;
  }
  if (intPart.empty() || i != lexeme.size()) return std::nullopt;  // not a number lexeme at all

  // Treat integer and fraction digits as one digit string D; the value is
  // D * 10^(exponent - fraction length).
  const auto digitAt = [&](std::size_t k) { return k < intPart.size() ? intPart[k] : fracPart[k - intPart.size()]; };
  const std::size_t total = intPart.size() + fracPart.size();
  std::size_t first = 0;
  while (first < total && digitAt(first) == '0') ++first;
  if (first == total) return 0;  // any spelling of zero, "-0" included
  std::size_t last = total - 1;
  while (digitAt(last) == '0') --last;

  // Power of ten of the last non-zero digit; below zero means a fraction.
  const std::int64_t scale = static_cast<std::int64_t>(intPart.size()) - 1 - static_cast<std::int64_t>(last) + exponent;
  if (scale < 0) return std::nullopt;
  const std::int64_t significant = static_cast<std::int64_t>(last - first + 1);
  if (significant + scale > 19) return std::nullopt;  // at least 10^19, beyond int64

  std::uint64_t magnitude = 0;  // < 10^19 < 2^64, so no wrap
  for (std::size_t k = first; k <= last; ++k) magnitude = magnitude * 10 + static_cast<std::uint64_t>(digitAt(k) - '0');
  for (std::int64_t k = 0; k < scale; ++k) magnitude *= 10;

  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (!negative) {
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMaxPositive + 1) return std::nullopt;
  return static_cast<std::int64_t>(0 - magnitude);  // two's complement; exact for -2^63 too
}

namespace {

using nlohmann::json;

// Builds a JsonValue from nlohmann's SAX events. Containers under
// construction are tracked by pointer: only the innermost one grows, so the
// pointers to its ancestors stay valid.
class DomBuilder {
 public:
  explicit DomBuilder(std::size_t maxDepth) : maxDepth_(maxDepth) {}

  bool null() { return add(JsonValue()); }
  bool boolean(bool v) { return add(JsonValue(v)); }
  bool number_integer(json::number_integer_t v) { return add(JsonValue(JsonNumber::fromInt(v))); }
  bool number_unsigned(json::number_unsigned_t v) {
    JsonNumber n{static_cast<double>(v), 0, false};
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      n.integer = static_cast<std::int64_t>(v);
      n.isInteger = true;
    }
    return add(JsonValue(n));
  }
  bool number_float(json::number_float_t v, const json::string_t& lexeme) {
    JsonNumber n{v, 0, false};
    if (const auto exact = exactIntegerFromLexeme(lexeme)) {
      n.integer = *exact;
      n.isInteger = true;
    }
    return add(JsonValue(n));
  }
  bool string(json::string_t& v) { return add(JsonValue(std::move(v))); }
  bool binary(json::binary_t&) { return false; }  // never produced by JSON text

  bool start_object(std::size_t) { return open(JsonValue(JsonValue::Object())); }
  bool key(json::string_t& k) {
    pendingKey_ = std::move(k);
    return true;
  }
  bool end_object() {
    dropDuplicateKeys(*stack_.back()->asObject());
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) { return open(JsonValue(JsonValue::Array())); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    constexpr int kNumberOverflow = 406;  // nlohmann's id for a number beyond double range
    error_ = ex.id == kNumberOverflow ? "number out of range" : "malformed JSON at byte ";
    if (ex.id != kNumberOverflow) error_.append(std::to_string(position));
    return false;
  }

  // Why the parse stopped, once sax_parse has returned false.
  std::string error() const { return error_.empty() ? "malformed JSON" : error_; }
  JsonValue take() { return std::move(root_); }

 private:
  // Places a value in the innermost open container, or makes it the root.
  JsonValue* place(JsonValue&& value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    JsonValue& parent = *stack_.back();
    if (JsonValue::Array* array = parent.asArray()) return &array->emplace_back(std::move(value));
    JsonValue::Object& members = *parent.asObject();
    // Most messages are "type" plus up to three members: one allocation, not
    // three. Done at the first member so an empty object costs nothing.
    if (members.empty()) members.reserve(4);
    return &members.emplace_back(JsonMember{std::move(pendingKey_), std::move(value)}).value;
  }
  bool add(JsonValue&& value) {
    place(std::move(value));
    return true;
  }
  bool open(JsonValue&& container) {
    if (stack_.size() >= maxDepth_) {
      error_ = "nesting too deep";
      return false;
    }
    stack_.push_back(place(std::move(container)));
    return true;
  }

  // Last one wins. Small objects are checked pairwise; large ones by sorting
  // so that a hostile object with many keys stays O(n log n).
  static void dropDuplicateKeys(JsonValue::Object& members) {
    const std::size_t n = members.size();
    std::vector<bool> drop;  // allocated only once a duplicate turns up
    const auto mark = [&](std::size_t i) {
      if (drop.empty()) drop.assign(n, false);
      drop[i] = true;
    };
    if (n <= 16) {
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
          if (members[i].key == members[j].key) {
            mark(i);
            break;
          }
        }
      }
    } else {
      std::vector<std::size_t> order(n);
      for (std::size_t i = 0; i < n; ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return members[a].key < members[b].key; });
      for (std::size_t k = 0; k + 1 < n; ++k) {
        if (members[order[k]].key == members[order[k + 1]].key) mark(order[k]);
      }
    }
    if (drop.empty()) return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (drop[i]) continue;
      if (out != i) members[out] = std::move(members[i]);
      ++out;
    }
    members.resize(out);
  }

  std::size_t maxDepth_;
  std::string error_;
  JsonValue root_;
  std::vector<JsonValue*> stack_;
  std::string pendingKey_;
};

}  // namespace

DecodeResult<JsonValue> parseJson(std::string_view text, const JsonLimits& limits) {
  using Result = DecodeResult<JsonValue>;
  if (text.empty()) return Result::failure("empty message");
  if (text.size() > limits.maxBytes) return Result::failure("message too large");
  DomBuilder builder(limits.maxDepth);
  try {
    if (!json::sax_parse(text.begin(), text.end(), &builder)) {
      return Result::failure(builder.error());
    }
  } catch (const std::bad_alloc&) {
    return Result::failure("out of memory");
  } catch (const std::exception&) {
    return Result::failure("malformed JSON");
  }
  return builder.take();
}

}  // namespace orvane
