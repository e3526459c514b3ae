#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "OrvaneCore/json/Json.h"
#include "OrvaneCore/json/JsonWriter.h"

namespace orvane {
namespace {

std::string stringJson(std::string_view text) {
  JsonWriter w;
  w.string(text);
  return *std::move(w).finish();
}

std::string numberJson(double value) {
  JsonWriter w;
  w.number(value);
  return *std::move(w).finish();
}

TEST(JsonWriterTest, EscapesLikeTheFoundationEncoder) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", R"("plain")"},
      {"a/b", R"("a\/b")"},
      {"\"q\" \\", R"("\"q\" \\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\""},  // raw UTF-8
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stringJson(c.in), c.out);
    // What we write, our parser reads back unchanged.
    auto back = parseJson(c.out);
    ASSERT_TRUE(back.ok()) << c.out;
    EXPECT_EQ(*back.value().asString(), c.in);
  }
}

TEST(JsonWriterTest, RepairsIllFormedUtf8SoTheTextStaysValidJson) {
  const std::string kReplacement = "\xef\xbf\xbd";
  const struct {
    std::string in, expected;
  } cases[] = {
      {"caf\xe9", "caf" + kReplacement},                        // Latin-1 byte
      {"\xc3", kReplacement},                                    // truncated sequence
      {"\xc0\xaf", kReplacement + kReplacement},                // overlong "/"
      {"\xed\xa0\x80", kReplacement + kReplacement + kReplacement},  // UTF-16 surrogate
      {"\xf4\x90\x80\x80x", kReplacement + kReplacement + kReplacement + kReplacement + "x"},  // > U+10FFFF
      {"ok \xf0\x9f\x98\x80", "ok \xf0\x9f\x98\x80"},
  };
  for (const auto& c : cases) {
    auto back = parseJson(stringJson(c.in));
    ASSERT_TRUE(back.ok()) << c.in;
    EXPECT_EQ(*back.value().asString(), c.expected);
  }
}

TEST(JsonWriterTest, DoublesInShortestRoundTripForm) {
  const struct {
    double in;
    const char* out;
  } cases[] = {
      {0.5, "0.5"},
      {1.0, "1"},
      {-2.0, "-2"},
      {0.0, "0"},
      {-0.0, "-0"},
      {0.1, "0.1"},
      {1e21, "1e+21"},
      {1.5e-7, "1.5e-07"},
      {1.0 / 3, "0.3333333333333333"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(numberJson(c.in), c.out);
    auto back = parseJson(c.out);
    ASSERT_TRUE(back.ok()) << c.out;
    EXPECT_EQ(*back.value().asDouble(), c.in) << c.out;
  }
}

TEST(JsonWriterTest, NonFiniteNumbersPoisonTheOutput) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    JsonWriter w;
    w.beginArray();
    w.number(1);
    w.number(bad);
    w.endArray();
    EXPECT_FALSE(w.ok());
    EXPECT_FALSE(std::move(w).finish().has_value());
  }
}

}  // namespace
}  // namespace orvane
