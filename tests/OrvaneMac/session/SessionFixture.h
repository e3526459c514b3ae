#pragma once

#include <gtest/gtest.h>

#include "tests/OrvaneMac/input/InputFixture.h"
#include "tests/OrvaneMac/session/SimHost.h"

namespace orvane::test {

class SessionFixture : public ::testing::Test, public SimHost {
 protected:
  Lines takePosted() { return test::takePosted(desktop); }
};

}  // namespace orvane::test
