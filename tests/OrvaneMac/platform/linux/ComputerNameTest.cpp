#include "OrvaneMac/platform/linux/ComputerName.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(ComputerNameTest, PrettyHostnameWinsOverTheHostname) {
  EXPECT_EQ(computerName("PRETTY_HOSTNAME=\"Anna's \\\"Studio\\\"\"\nCHASSIS=laptop\n", "anna-pc"),
            "Anna's \"Studio\"");
  EXPECT_EQ(computerName("CHASSIS=desktop\nPRETTY_HOSTNAME='Büro'", "x"), "Büro");
  EXPECT_EQ(computerName("PRETTY_HOSTNAME=Workshop", "x"), "Workshop");
  EXPECT_EQ(computerName("PRETTY_HOSTNAME=\"\"\n", "anna-pc\n"), "anna-pc") << "an empty pretty name is no name";
  EXPECT_EQ(computerName("", "anna-pc"), "anna-pc");
  EXPECT_FALSE(computerName().empty()) << "this machine has a hostname";
}

}  // namespace
}  // namespace orvane
