#include <gtest/gtest.h>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane {
namespace {

// The exact texts, member order, server-filled and unknown members and the
// common refusals are the orvane-wire line tests (tests/tools/orvane-wire/
// envelope.*); the host conversion is checked through the service.
TEST(WSEnvelope, AZeroLineIndexIsStillSent) {
  WSEnvelope ice(WSType::ice);
  ice.sdp = "candidate:1";
  ice.sdpMLineIndex = 0;
  EXPECT_EQ(wsEncode(ice), R"({"type":"ice","sdp":"candidate:1","sdpMLineIndex":0})");
}

TEST(WSEnvelope, RejectsFramesThatBreakTheFormatButAcceptsNulls) {
  const char* bad[] = {
      R"({"sdp":"x"})",                                          // no type
      R"({"type":7})",                                            // type not a string
      R"({"type":"ice","sdp":"x","sdpMLineIndex":2147483648})",  // beyond 32 bits
      R"({"type":"ice","sdpMLineIndex":1.5})",
      R"({"type":"welcome","serverTime":9223372036854775808})",
      R"({"type":"hosts","hosts":[{"deviceId":"H","name":"N"}]})",  // host without lastSeen
      R"({"type":"hosts","hosts":{}})",
      R"({"type":"error","code":404})",
      R"(["hello"])",
      "not json",
  };
  for (const char* text : bad) EXPECT_FALSE(wsDecode(text)) << text;

  auto nulls = wsDecode(R"({"type":"error","code":null,"message":null,"sdpMLineIndex":null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls.value().code);
  EXPECT_FALSE(nulls.value().sdpMLineIndex);
}

}  // namespace
}  // namespace orvane
