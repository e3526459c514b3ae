#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "OrvaneCore/json/Json.h"
#include "OrvaneCore/json/JsonReader.h"

namespace orvane {
namespace {

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

JsonValue parseOk(const std::string& text) {
  auto parsed = parseJson(text);
  EXPECT_TRUE(parsed.ok()) << text << ": " << parsed.error();
  return parsed ? parsed.value() : JsonValue();
}

// Int-ness is decided from the text, whichever SAX callback nlohmann picks
// (int64, uint64, or double with lexeme).
TEST(JsonNumberTest, IntegerValueIsDecidedExactlyFromTheText) {
  const struct {
    const char* text;
    std::optional<std::int64_t> integer;
  } cases[] = {
      {"5", 5},
      {"5.0", 5},
      {"1e3", 1000},
      {"12.5e1", 125},
      {"1500e-3", std::nullopt},
      {"1500e-2", 15},
      {"-0", 0},
      {"0e-999999999999999999999", 0},
      {"5.5", std::nullopt},
      {"9223372036854775807", kMax64},
      {"9223372036854775808", std::nullopt},
      {"9.223372036854775807e18", kMax64},
      {"9.223372036854775808e18", std::nullopt},
      {"-9223372036854775808", kMin64},
      {"-9223372036854775809", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"1e18", 1'000'000'000'000'000'000},
      {"1e19", std::nullopt},
      {"100000000000000000000e-2", 1'000'000'000'000'000'000},
      {"0.00000000000000000000000001e26", 1},
  };
  for (const auto& c : cases) {
    const JsonValue value = parseOk(c.text);
    EXPECT_EQ(value.asInt(), c.integer) << c.text;
    EXPECT_EQ(exactIntegerFromLexeme(c.text), c.integer) << c.text;
    EXPECT_TRUE(value.asDouble().has_value()) << c.text;  // every number is a Double
  }
  // Exponents far past any range (the parser rejects these before asking).
  EXPECT_EQ(exactIntegerFromLexeme("1e999999999999999999"), std::nullopt);
  EXPECT_EQ(exactIntegerFromLexeme("-0.0e999999999999999999"), 0);
  for (const char* junk : {"", "-", "abc", "1.", "1e", "1e+", "1x", ".5", "e5", "1e5e5"}) {
    EXPECT_EQ(exactIntegerFromLexeme(junk), std::nullopt) << junk;
  }
}

TEST(JsonNumberTest, Int32RangeAndDoubleValues) {
  EXPECT_EQ(parseOk("2147483647").asInt32(), 2147483647);
  EXPECT_EQ(parseOk("-2147483648").asInt32(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(parseOk("2147483648").asInt32(), std::nullopt);
  EXPECT_EQ(parseOk("-2147483649").asInt32(), std::nullopt);
  EXPECT_EQ(parseOk("0.5").asDouble(), 0.5);
  EXPECT_EQ(parseOk("18446744073709551615").asDouble(), 18446744073709551615.0);
  EXPECT_EQ(parseOk("1e-400").asDouble(), 0.0);  // underflow is the nearest double, not an error
  EXPECT_EQ(parseOk("\"5\"").asDouble(), std::nullopt);
}

TEST(JsonParseTest, RejectsAnythingButOneWellFormedValue) {
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "empty message"},
      {"{", "malformed"},
      {"{} {}", "malformed"},
      {"{\"a\":1,}", "malformed"},
      {"[01]", "malformed"},
      {"[NaN]", "malformed"},
      {"{\"a\":1} // comment", "malformed"},
      {"[\"tab\there\"]", "malformed"},             // raw control character in a string
      {"[\"\xff\"]", "malformed"},                  // invalid UTF-8
      {"[\"\xc0\xaf\"]", "malformed"},              // overlong encoding of '/'
      {"[\"\xed\xa0\x80\"]", "malformed"},          // UTF-8 encoded surrogate
      {"[\"\\ud800\"]", "malformed"},               // lone high surrogate
      {std::string("[\"a\0b\"]", 7), "malformed"},  // NUL inside a string
      {"[1e400]", "number out of range"},
  };
  for (const auto& c : cases) {
    auto parsed = parseJson(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_NE(parsed.error().find(c.reason), std::string::npos) << c.text << ": " << parsed.error();
    EXPECT_EQ(parsed.error().find('\n'), std::string::npos);
  }
  EXPECT_EQ(*parseOk("[\"\\ud83d\\ude00\"]").asArray()->at(0).asString(), "\xf0\x9f\x98\x80");
}

TEST(JsonParseTest, EnforcesSizeAndDepthLimits) {
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parseJson(nested(64)).ok());
  EXPECT_EQ(parseJson(nested(65)).error(), "nesting too deep");
  EXPECT_EQ(parseJson(nested(100000)).error(), "nesting too deep");
  EXPECT_EQ(parseJson("{\"a\":" + nested(64) + "}").error(), "nesting too deep");

  const std::string big = "\"" + std::string((1 << 20) - 2, 'a') + "\"";
  EXPECT_TRUE(parseJson(big).ok());
  EXPECT_EQ(parseJson(big + " ").error(), "message too large");
  EXPECT_EQ(parseJson("[1,2]", JsonLimits{.maxBytes = 4}).error(), "message too large");
  EXPECT_EQ(parseJson("[[1]]", JsonLimits{.maxDepth = 1}).error(), "nesting too deep");
}

TEST(JsonParseTest, DuplicateKeysLastOneWins) {
  const JsonValue small = parseOk(R"({"a":1,"b":2,"a":3,"a":{"x":null}})");
  ASSERT_EQ(small.asObject()->size(), 2u);
  EXPECT_EQ(small.find("b")->asInt(), 2);
  EXPECT_TRUE(small.find("a")->find("x")->isNull());

  // Past the pairwise check the sort-based path must agree.
  std::string text = "{";
  for (int i = 0; i < 40; ++i)
    text.append("\"k").append(std::to_string(i % 20)).append("\":").append(std::to_string(i)).append(",");
  text.back() = '}';
  const JsonValue large = parseOk(text);
  ASSERT_EQ(large.asObject()->size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(large.find(std::string("k").append(std::to_string(i)))->asInt(), 20 + i);
}

TEST(JsonObjectReaderTest, RequiredAndOptionalMembers) {
  const JsonValue doc = parseOk(R"({"d":1.5,"i":"7","n":null,"b":true,"a":[],"big":4294967296})");
  const JsonValue::Object& o = *doc.asObject();
  const struct {
    const char* name;
    bool (*read)(JsonObjectReader&);
    const char* error;  // nullptr: succeeds
  } cases[] = {
      {"double", [](JsonObjectReader& r) { return r.requireDouble("d") == 1.5; }, nullptr},
      {"missing", [](JsonObjectReader& r) { return !r.requireDouble("zz"); }, "missing \"zz\""},
      {"null", [](JsonObjectReader& r) { return !r.requireString("n"); }, "missing \"n\""},
      {"string as int", [](JsonObjectReader& r) { return !r.requireInt("i"); }, "\"i\" is not an integer in 64 bits"},
      {"int32 range", [](JsonObjectReader& r) { return !r.requireInt32("big"); },
       "\"big\" is not an integer in 32 bits"},
      {"bool as string", [](JsonObjectReader& r) { return !r.requireString("b"); }, "\"b\" is not a string"},
      {"array as object", [](JsonObjectReader& r) { return !r.requireObject("a"); }, "\"a\" is not an object"},
      {"optional missing", [](JsonObjectReader& r) { return !r.optionalString("zz"); }, nullptr},
      {"optional null", [](JsonObjectReader& r) { return !r.optionalInt("n") && !r.optionalArray("n"); }, nullptr},
      {"optional wrong type", [](JsonObjectReader& r) { return !r.optionalString("d"); }, "\"d\" is not a string"},
      {"first failure is kept",
       [](JsonObjectReader& r) { return !r.requireInt("i") && !r.requireDouble("d") && !r.requireBool("zz"); },
       "\"i\" is not an integer in 64 bits"},
  };
  for (const auto& c : cases) {
    JsonObjectReader reader(o);
    EXPECT_TRUE(c.read(reader)) << c.name;
    EXPECT_EQ(reader.ok(), c.error == nullptr) << c.name;
    EXPECT_EQ(reader.error(), c.error ? c.error : "") << c.name;
  }
}

}  // namespace
}  // namespace orvane
