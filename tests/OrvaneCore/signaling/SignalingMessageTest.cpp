// The signalling messages' JSON: exact text both ways, and refusal of what a peer must not send.
#include <gtest/gtest.h>

#include <string>

#include "OrvaneCore/signaling/SignalingMessage.h"

namespace orvane {
namespace {

using Msg = SignalingMessage;

TEST(SignalingMessageTest, ExactWireTextAndRoundTrip) {
  const struct {
    SignalingMessage message;
    std::string json;
  } cases[] = {
      {Msg::Offer{"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n"},
       R"({"type":"offer","sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n"})"},
      {Msg::Answer{""}, R"({"type":"answer","sdp":""})"},
      {Msg::IceCandidate{{"candidate:1 1 UDP 2122252543 10.0.0.2 50000 typ host", 0, "0"}},
       R"({"type":"iceCandidate","candidate":{"sdp":"candidate:1 1 UDP 2122252543 10.0.0.2 50000 typ host",)"
       R"("sdpMLineIndex":0,"sdpMid":"0"}})"},
      {Msg::IceCandidate{{"c", -2147483648, std::nullopt}},
       R"({"type":"iceCandidate","candidate":{"sdp":"c","sdpMLineIndex":-2147483648}})"},
      {Msg::IceCandidate{{"a/b", 2147483647, ""}},
       R"({"type":"iceCandidate","candidate":{"sdp":"a\/b","sdpMLineIndex":2147483647,"sdpMid":""}})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeSignalingMessage(c.message), c.json);
    auto decoded = decodeSignalingMessage(c.json);
    ASSERT_TRUE(decoded.ok()) << c.json << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), c.message) << c.json;
  }
}

// Further accepted and refused lines: tests/tools/orvane-wire/signaling.*.
TEST(SignalingMessageTest, DecodeReadsOnlyWhatTheTypeNeeds) {
  const struct {
    const char* json;
    SignalingMessage expected;
  } cases[] = {
      {R"({"sdp":"x","type":"offer","candidate":7})", Msg::Offer{"x"}},
      {R"({"type":"answer","sdp":"y","sdpMid":null})", Msg::Answer{"y"}},
      {R"({"type":"iceCandidate","sdp":5,"candidate":{"sdp":"c","sdpMLineIndex":1,"sdpMid":null}})",
       Msg::IceCandidate{{"c", 1, std::nullopt}}},
      {R"({"type":"iceCandidate","candidate":{"sdpMLineIndex":1.0,"sdp":"c","foo":1}})",
       Msg::IceCandidate{{"c", 1, std::nullopt}}},
  };
  for (const auto& c : cases) {
    auto decoded = decodeSignalingMessage(c.json);
    ASSERT_TRUE(decoded.ok()) << c.json << ": " << decoded.error();
    EXPECT_EQ(decoded.value(), c.expected) << c.json;
  }
}

TEST(SignalingMessageTest, RejectsBadMessages) {
  const struct {
    const char* json;
    const char* reason;
  } cases[] = {
      {R"({"type":"Offer","sdp":"x"})", "\"type\""},
      {R"({"sdp":"x"})", "missing \"type\""},
      {R"({"type":"offer","sdp":["x"]})", "\"sdp\" is not a string"},
      {R"({"type":"iceCandidate","sdp":"x"})", "missing \"candidate\""},
      {R"({"type":"iceCandidate","candidate":"c"})", "\"candidate\" is not an object"},
      {R"({"type":"iceCandidate","candidate":{"sdp":"c"}})", "missing \"sdpMLineIndex\""},
      {R"({"type":"iceCandidate","candidate":{"sdp":"c","sdpMLineIndex":2147483648}})", "\"sdpMLineIndex\""},
      {R"({"type":"iceCandidate","candidate":{"sdp":"c","sdpMLineIndex":0,"sdpMid":0}})", "\"sdpMid\""},
      {R"(["offer","x"])", "not a JSON object"},
  };
  for (const auto& c : cases) {
    auto decoded = decodeSignalingMessage(c.json);
    ASSERT_FALSE(decoded.ok()) << c.json;
    EXPECT_NE(decoded.error().find(c.reason), std::string::npos) << c.json << " gave: " << decoded.error();
  }
}

}  // namespace
}  // namespace orvane
