#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OrvaneCore/protocol/Base64.h"
#include "OrvaneCore/protocol/WindowInfo.h"

namespace orvane {
namespace {

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64Test, StandardAlphabetWithPadding) {
  const struct {
    std::string plain, encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "+/+/"},  // the two alphabet letters beyond alphanumerics
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64Encode(bytes(c.plain)), c.encoded);
    EXPECT_EQ(base64Decode(c.encoded), bytes(c.plain)) << c.encoded;
  }
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64Test, RejectsAllButTheCanonicalText) {
  // Missing, short, excess or misplaced padding; bad length; whitespace; the
  // URL-safe alphabet; non-zero unused bits; non-ASCII.
  for (const char* bad : {"Zg", "Zg=", "Zm9", "Zg===", "====", "Z===", "Zg==Zm8=", "Zm=v", "Zm9v\n", "Zm 9v", "Zm-_",
                          "Zh==", "Zm9=", "Zm9v\xc3\xa9"}) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
  }
}

TEST(WindowInfoTest, EncodesThreeMembersOrFourWithThumbnail) {
  WindowInfo info{"12", "Terminal", "~/src", std::nullopt};
  EXPECT_EQ(encodeWindowInfo(info), R"({"id":"12","appName":"Terminal","windowTitle":"~\/src"})");
  info.thumbnail = bytes("\x89PNG");
  const std::string text = encodeWindowInfo(info);
  EXPECT_EQ(text, R"({"id":"12","appName":"Terminal","windowTitle":"~\/src","thumbnail":"iVBORw=="})");
  EXPECT_EQ(decodeWindowInfo(text).value(), info);
  info.thumbnail = std::vector<std::uint8_t>{};  // present but empty stays present
  EXPECT_EQ(decodeWindowInfo(encodeWindowInfo(info)).value(), info);
}

TEST(WindowInfoTest, DecodingRules) {
  const struct {
    const char* json;
    const char* error;  // nullptr: decodes
  } cases[] = {
      {R"({"id":"1","appName":"a","windowTitle":"t"})", nullptr},
      {R"({"id":"1","appName":"a","windowTitle":"t","thumbnail":null})", nullptr},
      {R"({"windowTitle":"t","appName":"a","id":"1","extra":[1,2]})", nullptr},
      {R"({"id":"1","appName":"a"})", "missing \"windowTitle\""},
      {R"({"id":1,"appName":"a","windowTitle":"t"})", "\"id\" is not a string"},
      {R"({"id":"1","appName":"a","windowTitle":"t","thumbnail":"@@@@"})", "\"thumbnail\" is not valid Base64"},
      {R"({"id":"1","appName":"a","windowTitle":"t","thumbnail":[1,2]})", "\"thumbnail\" is not a string"},
      {R"(["1","a","t"])", "window is not an object"},
  };
  for (const auto& c : cases) {
    auto decoded = decodeWindowInfo(c.json);
    EXPECT_EQ(decoded.ok(), c.error == nullptr) << c.json;
    if (decoded) {
      EXPECT_EQ(decoded.value(), (WindowInfo{"1", "a", "t", std::nullopt})) << c.json;
    } else {
      EXPECT_EQ(decoded.error(), c.error ? c.error : "") << c.json;
    }
  }
}

}  // namespace
}  // namespace orvane
