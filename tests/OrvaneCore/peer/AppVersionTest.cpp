#include "OrvaneCore/peer/AppVersion.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane {
namespace {

DictionaryBundleInfo withVersion(DictionaryBundleInfo::Value version) {
  return DictionaryBundleInfo({{"CFBundleShortVersionString", std::string("1.0")}, {"CFBundleVersion", version}});
}

TEST(AppVersionTest, BuildParsesWholeSignedDecimalsOnly) {
  const std::pair<std::string, std::int64_t> cases[] = {
      {"12", 12}, {"+12", 12}, {"-3", -3}, {"0012", 12}, {"12a", 0}, {"", 0}, {"+", 0}, {"+-3", 0},
      {" 12", 0}, {"1.5", 0},  {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()}, {"9223372036854775808", 0}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(AppVersion::build(withVersion(text)), expected) << '"' << text << '"';
  }
  EXPECT_EQ(AppVersion::build(withVersion(std::int64_t{12})), 0) << "only a string entry counts";
}

TEST(AppVersionTest, MarketingAndDisplay) {
  EXPECT_EQ(AppVersion::display(withVersion(std::string("12"))), "1.0 (12)");
  EXPECT_EQ(AppVersion::display(DictionaryBundleInfo()), "? (0)");
  EXPECT_EQ(AppVersion::marketing(DictionaryBundleInfo({{"CFBundleShortVersionString", 1.0}})), "?");
  EXPECT_EQ(AppVersion::marketing(), ORVANE_MARKETING_VERSION);
  EXPECT_EQ(mainBundle().string("CFBundleVersion"), ORVANE_BUILD_NUMBER);
}

}  // namespace
}  // namespace orvane
