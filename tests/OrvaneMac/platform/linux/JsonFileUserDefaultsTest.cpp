#include "OrvaneMac/platform/linux/JsonFileUserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/TempDir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class JsonFileUserDefaultsTest : public ::testing::Test {
 protected:
  void writeRaw(const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  static json parse(std::istream&& in) { return json::parse(std::string(std::istreambuf_iterator<char>(in), {})); }
  json readJson() const { return parse(std::ifstream(file, std::ios::binary)); }

  test::TempDir temp;
  fs::path root = temp.path;
  fs::path file = root / "config" / "orvane" / "defaults.json";
};

TEST(JsonFileUserDefaultsPathTest, FollowsTheBaseDirectoryRules) {
  EXPECT_EQ(JsonFileUserDefaults::defaultPath("/xdg", "/home/u"), "/xdg/orvane/defaults.json");
  for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    EXPECT_EQ(JsonFileUserDefaults::defaultPath(unusable, "/home/u"), "/home/u/.config/orvane/defaults.json");
  }
}

TEST_F(JsonFileUserDefaultsTest, ValuesKeepTheirJsonTypes) {
  JsonFileUserDefaults(file).set("flag", true);
  JsonFileUserDefaults defaults(file);
  defaults.set("count", std::int64_t{3});
  defaults.set("ratio", 3.0);
  defaults.set("name", std::string("Zoë \"q\""));
  EXPECT_EQ(defaults.value("flag"), DefaultsValue(true));
  EXPECT_EQ(defaults.value("count"), DefaultsValue(std::int64_t{3}));
  EXPECT_EQ(defaults.value("ratio"), DefaultsValue(3.0));
  EXPECT_EQ(defaults.value("name"), DefaultsValue(std::string("Zoë \"q\"")));
  EXPECT_EQ(readJson()["flag"], json(true));
}

TEST_F(JsonFileUserDefaultsTest, ReadsSeeOtherWritersAndWritesKeepTheirKeys) {
  JsonFileUserDefaults defaults(file);
  writeRaw(R"({"other": false, "k": 1})");
  EXPECT_EQ(defaults.value("k"), DefaultsValue(std::int64_t{1}));
  defaults.set("mine", std::int64_t{7});
  EXPECT_EQ(readJson(), (json{{"other", false}, {"k", 1}, {"mine", 7}}));
  fs::remove(file);
  EXPECT_EQ(defaults.value("k"), std::nullopt);
  defaults.remove("nothing");
  EXPECT_FALSE(fs::exists(file)) << "removing from an empty store writes nothing";
}

TEST_F(JsonFileUserDefaultsTest, UnsupportedValuesReadAsMissingAndSurviveWrites) {
  writeRaw(R"({"null": null, "list": [1], "object": {}, "huge": 18446744073709551615})");
  JsonFileUserDefaults defaults(file);
  for (const char* key : {"null", "list", "object", "huge"}) EXPECT_EQ(defaults.value(key), std::nullopt) << key;
  defaults.set("new", true);
  EXPECT_EQ(readJson()["huge"], 18446744073709551615ull);
  EXPECT_EQ(readJson()["list"], json::array({1}));
}

TEST_F(JsonFileUserDefaultsTest, UnusableFilesReadEmptyAndAreReplacedByTheNextWrite) {
  for (const std::string text : {"", "not json", "[1]", "42", R"({"k": 1)", "{\"k\": \"\xff\"}", R"({"k":1} x)"}) {
    writeRaw(text);
    JsonFileUserDefaults defaults(file);
    EXPECT_EQ(defaults.value("k"), std::nullopt) << text;
    defaults.set("fresh", true);
    EXPECT_EQ(readJson(), (json{{"fresh", true}})) << text;
  }
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(JsonFileUserDefaults(file).value("k"), std::nullopt) << "must not block on a pipe";
}

TEST_F(JsonFileUserDefaultsTest, WritesReplaceTheFileAtomicallyInPrivateDirectories) {
  JsonFileUserDefaults defaults(file);
  defaults.set("k", std::int64_t{1});
  for (const auto& dir : {root / "config", file.parent_path()}) EXPECT_EQ(test::modeOf(dir) & 0077, 0u) << dir;
  std::ifstream reader(file, std::ios::binary);  // opened before the write: must see the whole old file
  defaults.set("k", std::int64_t{2});
  EXPECT_EQ(parse(std::move(reader)), (json{{"k", 1}}));
  EXPECT_EQ(defaults.value("k"), DefaultsValue(std::int64_t{2}));
  std::vector<fs::path> entries(fs::directory_iterator(file.parent_path()), fs::directory_iterator());
  EXPECT_EQ(entries, std::vector<fs::path>{file}) << "no temporary file left behind";
}

TEST_F(JsonFileUserDefaultsTest, ValuesWithoutAJsonFormNeverThrow) {
  JsonFileUserDefaults defaults(file);
  defaults.set("d", 1.5);
  defaults.set("d", std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(readJson().contains("d"));
  defaults.set("s", std::string("a\xff" "b"));
  EXPECT_EQ(defaults.value("s"), DefaultsValue(std::string("a\xEF\xBF\xBD" "b")));
}

TEST_F(JsonFileUserDefaultsTest, ConcurrentWritersDoNotLoseEachOthersKeys) {
  // Two stores on one file stand in for two processes: each opens its own
  // descriptors, so only the file lock keeps their updates apart.
  JsonFileUserDefaults first(file), second(file);
  auto writeKeys = [](JsonFileUserDefaults& store, std::string prefix) {
    for (int i = 0; i < 100; ++i) store.set(prefix + std::to_string(i), std::int64_t{i});
  };
  std::thread a(writeKeys, std::ref(first), "a");
  std::thread b(writeKeys, std::ref(second), "b");
  a.join();
  b.join();
  EXPECT_EQ(readJson().size(), 200u);
}

}  // namespace
}  // namespace orvane
