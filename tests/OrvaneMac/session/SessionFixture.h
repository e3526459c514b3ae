#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/OrvaneMac/input/InputFixture.h"
#include "tests/OrvaneMac/session/SimHost.h"

namespace orvane::test {

class SessionFixture : public ::testing::Test, public SimHost {
 protected:
  // The posted events so far, one line each, and forgets them.
  std::vector<std::string> takePosted() {
    std::vector<std::string> lines;
    for (const CGEvent& e : desktop.posted()) lines.push_back(describe(e));
    desktop.clearPosted();
    return lines;
  }
};

}  // namespace orvane::test
