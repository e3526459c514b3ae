#include <gtest/gtest.h>

#include <chrono>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

namespace orvane {
namespace {

TEST(WSEnvelope, EncodesOnlyThePresentFields) {
  WSEnvelope hello(WSType::hello);
  hello.role = "mac";
  hello.deviceId = "H1";
  hello.deviceName = "Desk/Top";
  EXPECT_EQ(wsEncode(hello), R"({"type":"hello","role":"mac","deviceId":"H1","deviceName":"Desk\/Top"})");

  WSEnvelope ice(WSType::ice);
  ice.sdp = "candidate:1 1 udp 2122260223 192.0.2.1 54400 typ host";
  ice.sdpMLineIndex = 0;
  EXPECT_EQ(wsEncode(ice), R"({"type":"ice","sdp":"candidate:1 1 udp 2122260223 192.0.2.1 54400 typ host","sdpMLineIndex":0})");

  EXPECT_EQ(wsEncode(WSEnvelope(WSType::bye)), R"({"type":"bye"})");
}

TEST(WSEnvelope, ServerFilledFieldsSurviveARoundTrip) {
  const std::string text =
      R"({"type":"offer","id":"m-1","fromDeviceId":"P","fromName":"Pad","sdp":"v=0\r\n","serverTime":1767225600,)"
      R"("peerDeviceId":"H","unknown":{"deep":[1,2]}})";
  auto decoded = wsDecode(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(decoded.value().knownType(), WSType::offer);
  EXPECT_EQ(decoded.value().id, "m-1");
  EXPECT_EQ(decoded.value().serverTime, 1767225600);
  auto again = wsDecode(wsEncode(decoded.value()));
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), decoded.value());
}

TEST(WSEnvelope, HostsConvertToHostInfo) {
  auto reply = wsDecode(R"({"type":"hosts","hosts":[{"deviceId":"H1","name":"Studio","lastSeen":90},)"
                        R"({"deviceId":"H2","name":"Old","lastSeen":0}]})");
  ASSERT_TRUE(reply) << reply.error();
  ASSERT_EQ(reply.value().hosts->size(), 2u);
  HostInfo first = (*reply.value().hosts)[0].toHostInfo();
  EXPECT_EQ(first.id, "H1");
  EXPECT_EQ(first.machineName, "Studio");
  EXPECT_EQ(first.lastSeen, std::chrono::system_clock::time_point(std::chrono::seconds(90)));
  EXPECT_EQ((*reply.value().hosts)[1].toHostInfo().lastSeen.time_since_epoch().count(), 0);

  auto empty = wsDecode(R"({"type":"hosts"})");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty.value().hosts.has_value());
}

TEST(WSEnvelope, RejectsFramesThatBreakTheFormat) {
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
}

TEST(WSEnvelope, NullAndUnknownTypesDecode) {
  auto nulls = wsDecode(R"({"type":"error","code":null,"message":null,"sdpMLineIndex":null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls.value().code);
  auto unknown = wsDecode(R"({"type":"Welcome"})");
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(unknown.value().knownType());
}

}  // namespace
}  // namespace orvane
