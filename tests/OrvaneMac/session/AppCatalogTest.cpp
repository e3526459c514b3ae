// The application catalog: which index entries become apps, their order, the search the tablet's launcher
// uses (ranking, limits, untrusted queries), the query's lifetime and the XDG directories searched.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneMac/platform/sim/SimAppIndex.h"
#include "OrvaneMac/session/AppCatalog.h"

namespace orvane {
namespace {

using Strings = std::vector<std::string>;

// The prefixes of a Mac, which make the examples read as they would there.
const Strings kMacPrefixes = {"/Applications/", "/System/Applications/", "/System/Cryptexes/App/System/Applications/",
                              "/Users/kim/Applications/"};

class CatalogTest : public ::testing::Test {
 protected:
  void load(const Strings& names) {
    for (const auto& name : names) index.addApplication("/Applications/" + name + ".app", name);
    catalog.ensureLoaded();
    exec.runUntilIdle();
    ASSERT_TRUE(catalog.isLoaded());
  }
  Strings names() const {
    Strings result;
    for (const auto& entry : catalog.apps()) result.push_back(entry.name);
    return result;
  }

  ManualExecutor exec;
  SimAppIndex index{exec};
  CapturingLogSink logs;
  AppCatalog catalog{index, kMacPrefixes, logs};
};

TEST_F(CatalogTest, KeepsUserFacingApplicationsOncePerNameSortedCaseInsensitively) {
  index.addApplication("/Applications/Safari.app", "Safari.app");
  index.addApplication("/Applications/Safari.app", "Safari.app");
  index.addApplication("/Library/Application Support/Helper.app", "Helper");
  index.addApplication("/Users/kim/Applications/Zed.app", "Zed.app");
  index.addApplication("/System/Applications/Utilities/Terminal.app", "Terminal");
  index.addApplication("/System/Cryptexes/App/System/Applications/Safari Technology.app", "safari technology");
  index.addApplication("/Users/kim/Downloads/Applications/Stray.app", "Stray");
  index.results.push_back({std::nullopt, "No Path"});
  index.results.push_back({"/Applications/NoName.app", std::nullopt});
  index.addApplication("/Applications/apple Stuff.app", "apple Stuff");
  index.addApplication("/Applications/SAFARI.app", "SAFARI");  // same key as Safari: the first one wins
  index.addApplication("/Applications/Apple.app", "Apple");
  index.addApplication("/Applications/Version.app.app", "Version.app.app");  // only one suffix goes

  EXPECT_FALSE(catalog.isLoading());
  catalog.ensureLoaded();
  EXPECT_TRUE(catalog.isLoading());
  EXPECT_FALSE(catalog.isLoaded());
  catalog.ensureLoaded();
  EXPECT_EQ(index.queriesStarted(), 1);
  exec.runUntilIdle();

  EXPECT_TRUE(catalog.isLoaded());
  EXPECT_FALSE(catalog.isLoading());
  EXPECT_EQ(index.queriesRunning(), 0);
  EXPECT_EQ(names(),
            (Strings{"Apple", "apple Stuff", "Safari", "safari technology", "Terminal", "Version.app", "Zed"}));
  EXPECT_EQ(catalog.apps()[2].key, "safari");
  EXPECT_EQ(catalog.apps()[2].path, "/Applications/Safari.app");  // the first one's path, kept to launch it
  ASSERT_NE(catalog.find("SAFARI"), nullptr);
  EXPECT_EQ(catalog.find("SAFARI")->path, "/Applications/Safari.app");
  EXPECT_EQ(catalog.find("Safar"), nullptr);  // whole names only
  EXPECT_EQ(logs.lines(), Strings{"[AppCatalog] loaded 7 user-facing apps"});

  catalog.ensureLoaded();  // loaded once for good
  EXPECT_EQ(index.queriesStarted(), 1);
}

TEST_F(CatalogTest, NamesThatCollateEquallyKeepTheirIndexOrder) {
  // Different keys ("straße", "strasse") but the same case-folded text.
  load({"beta", "Straße", "Alpha", "Strasse", "alpha two"});
  EXPECT_EQ(names(), (Strings{"Alpha", "alpha two", "beta", "Straße", "Strasse"}));
}

TEST_F(CatalogTest, PrefixMatchesComeBeforeSubstringMatches) {
  load({"Mail", "Maps", "Photo Booth", "Automator"});
  EXPECT_EQ(catalog.search("ma", 8), (Strings{"Mail", "Maps", "Automator"}));
  EXPECT_EQ(catalog.search("  MA\n", 8), (Strings{"Mail", "Maps", "Automator"}));
  EXPECT_EQ(catalog.search("\t\u3000Ma\u00a0", 8), (Strings{"Mail", "Maps", "Automator"}));  // Unicode spaces too
  EXPECT_EQ(catalog.search("photo b", 8), Strings{"Photo Booth"});
  EXPECT_EQ(catalog.search("xyz", 8), Strings{});
}

TEST_F(CatalogTest, EachGroupKeepsCatalogOrder) {
  load({"Notes", "Books", "Preview", "Maps", "Photo Booth"});
  EXPECT_EQ(catalog.search("o", 8), (Strings{"Books", "Notes", "Photo Booth"}));
  EXPECT_EQ(catalog.search("p", 8), (Strings{"Photo Booth", "Preview", "Maps"}));
}

TEST_F(CatalogTest, AnswersAreLimited) {
  load({"Calendar", "Calculator", "Camera", "Capture", "Castle", "Cat", "Cave", "Cabinet", "Cactus", "Arcade"});
  EXPECT_EQ(catalog.search("ca", 8),
            (Strings{"Cabinet", "Cactus", "Calculator", "Calendar", "Camera", "Capture", "Castle", "Cat"}));
  EXPECT_EQ(catalog.search("ca", 2), (Strings{"Cabinet", "Cactus"}));
  EXPECT_EQ(catalog.search("ar", 2), (Strings{"Arcade", "Calendar"}));  // the prefix match still leads
  EXPECT_TRUE(catalog.search("ca", 0).empty());
  EXPECT_TRUE(catalog.search("ca", -1).empty());
  EXPECT_EQ(catalog.search("ca", 1000).size(), 10u);
}

TEST_F(CatalogTest, EmptyQueriesAndUnloadedCatalogsAnswerNothing) {
  index.addApplication("/Applications/Mail.app", "Mail");
  EXPECT_TRUE(catalog.search("mail", 8).empty());  // not loaded yet
  catalog.ensureLoaded();
  EXPECT_TRUE(catalog.search("mail", 8).empty());  // still gathering
  exec.runUntilIdle();
  EXPECT_EQ(catalog.search("mail", 8), Strings{"Mail"});
  EXPECT_TRUE(catalog.search("", 8).empty());
  EXPECT_TRUE(catalog.search(" \n\t ", 8).empty());
  EXPECT_TRUE(catalog.search("\xff\xfe", 8).empty());  // broken UTF-8 from the network is harmless
}

TEST_F(CatalogTest, NonAsciiNamesMatchWhateverTheCase) {
  load({"Éditeur", "Ökonomie"});
  EXPECT_EQ(catalog.search("éd", 8), Strings{"Éditeur"});
  EXPECT_EQ(catalog.search("ÖKO", 8), Strings{"Ökonomie"});
}

TEST_F(CatalogTest, AnIndexThatFindsNothingLeavesALoadedEmptyCatalog) {
  catalog.ensureLoaded();
  exec.runUntilIdle();
  EXPECT_TRUE(catalog.isLoaded());
  EXPECT_TRUE(catalog.apps().empty());
  EXPECT_EQ(logs.lines(), Strings{"[AppCatalog] loaded 0 user-facing apps"});
}

TEST(CatalogLifetime, DestroyingTheCatalogStopsItsQuery) {
  ManualExecutor exec;
  SimAppIndex index{exec};
  index.holdQueries = true;
  CapturingLogSink logs;
  auto catalog = std::make_unique<AppCatalog>(index, kMacPrefixes, logs);
  catalog->ensureLoaded();
  EXPECT_EQ(index.queriesRunning(), 1);
  catalog.reset();
  EXPECT_EQ(index.queriesRunning(), 0);
  EXPECT_EQ(index.finishGathering(), 0);
  EXPECT_TRUE(logs.lines().empty());
}

TEST(CatalogPrefixes, FollowTheXdgBaseDirectories) {
  auto env = [](std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
      auto it = values.find(name);
      if (it == values.end()) return std::nullopt;
      return it->second;
    };
  };
  // Flatpak and Snap exports come last, whether XDG_DATA_DIRS names them or not.
  EXPECT_EQ(AppCatalog::xdgApplicationPrefixes(env({{"HOME", "/home/kim"}})),
            (Strings{"/home/kim/.local/share/applications/", "/usr/local/share/applications/",
                     "/usr/share/applications/", "/home/kim/.local/share/flatpak/exports/share/applications/",
                     "/var/lib/flatpak/exports/share/applications/", "/var/lib/snapd/desktop/applications/"}));
  EXPECT_EQ(
      AppCatalog::xdgApplicationPrefixes(
          env({{"HOME", "/home/kim"},
               {"XDG_DATA_HOME", "/data/kim/"},
               {"XDG_DATA_DIRS", "/var/lib/flatpak/exports/share:relative/share::/usr/share/:/usr/share"}})),
      (Strings{"/data/kim/applications/", "/var/lib/flatpak/exports/share/applications/", "/usr/share/applications/",
               "/data/kim/flatpak/exports/share/applications/", "/var/lib/snapd/desktop/applications/"}));
  // A relative XDG_DATA_HOME is ignored in favour of the home default.
  EXPECT_EQ(AppCatalog::xdgApplicationPrefixes(env({{"HOME", "/home/kim"}, {"XDG_DATA_HOME", "data"}}))[0],
            "/home/kim/.local/share/applications/");
}

}  // namespace
}  // namespace orvane
