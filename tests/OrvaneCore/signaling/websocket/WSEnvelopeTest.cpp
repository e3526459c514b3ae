#include <gtest/gtest.h>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane {
namespace {

// The exact texts, member order, server-filled and unknown members and the
// common refusals are the orvane-wire line tests (tests/tools/orvane-wire/
// envelope.*); a zero line index on the wire is checked through the hub, the
// host conversion through the service.
TEST(WSEnvelope, RejectsFramesThatBreakTheFormatButAcceptsNulls) {
  for (const char* text : {R"({"type":7})", R"({"type":"ice","sdpMLineIndex":1.5})",
                           R"({"type":"welcome","serverTime":9223372036854775808})", R"({"type":"hosts","hosts":{}})",
                           "not json"}) {
    EXPECT_FALSE(wsDecode(text)) << text;
  }
  auto nulls = wsDecode(R"({"type":"error","code":null,"message":null,"sdpMLineIndex":null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls.value().code);
  EXPECT_FALSE(nulls.value().sdpMLineIndex);
}

}  // namespace
}  // namespace orvane
