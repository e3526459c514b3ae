// Where a user-supplied identity token comes from, in order, and what counts as none.
#include <gmock/gmock.h>

#include <fstream>
#include <map>

#include "OrvaneCore/identity/IdentityTokenSource.h"
#include "tests/OrvaneCore/identity/TestSupport.h"

using namespace orvane;
using namespace orvane::testing;

namespace {

struct IdentityTokenSourceTest : ::testing::Test {
  TempDir temp;
  std::map<std::string, std::string> vars;
  ManualExecutor exec;

  std::string file(const std::string& name, const std::string& bytes) {
    std::ofstream(temp.path / name, std::ios::binary) << bytes;
    return (temp.path / name).string();
  }
  // The token, or how the request failed.
  std::string request(std::filesystem::path tokenFile = {}) {
    UserSuppliedIdentityToken source(std::move(tokenFile), [this](const std::string& name) {
      auto it = vars.find(name);
      return it == vars.end() ? std::nullopt : std::optional(it->second);
    });
    std::string token;
    std::string result = run(exec, [&]() -> Task<void> { token = co_await source.requestIdentityToken(); });
    return result == "ok" ? token : result;
  }
};

}  // namespace

TEST_F(IdentityTokenSourceTest, VariableThenVariableFileThenGivenFileTrimmed) {
  const auto given = file("given", "tok-given\n");
  vars = {{"ORVANE_IDENTITY_TOKEN", "  tok-env \n"}, {"ORVANE_IDENTITY_TOKEN_FILE", file("env", "\ttok-file \r\n")}};
  EXPECT_EQ(request(given), "tok-env");
  vars.erase("ORVANE_IDENTITY_TOKEN");
  EXPECT_EQ(request(given), "tok-file");
  vars.clear();
  EXPECT_EQ(request(given), "tok-given");
}

TEST_F(IdentityTokenSourceTest, MissingSourcesSayWhatToSetAndUnusableTokensAreNoToken) {
  using ::testing::AllOf, ::testing::HasSubstr, ::testing::StartsWith;
  EXPECT_THAT(request(), AllOf(StartsWith("cancelledOrFailed"), HasSubstr("set ORVANE_IDENTITY_TOKEN")));
  EXPECT_THAT(request(temp.path / "absent"), AllOf(StartsWith("cancelledOrFailed"), HasSubstr("absent")));
  EXPECT_EQ(request(file("blank", " \n\t")), "noIdentityToken");
  EXPECT_EQ(request(file("latin1", "caf\xE9")), "noIdentityToken");
}
