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

// Relays a "welcome" issues: kept whole through a round trip, refused whole
// when any part is out of shape or bounds.
TEST(WSEnvelope, IceServersRoundTripAndOutOfShapeListsAreRefused) {
  WSEnvelope welcome(WSType::welcome);
  welcome.serverTime = 5;
  welcome.iceServers = std::vector<IceServerInfo>{
      {{"turn:r:3478?transport=udp", "turns:r:5349"}, "1700000000:ann", "ARjkERj/JJ2hxMpHRrF/UTllt7k="},
      {{"stun:s:19302"}, std::nullopt, std::nullopt}};
  const std::string text = wsEncode(welcome);
  EXPECT_EQ(wsDecode(text).value(), welcome);
  EXPECT_NE(text.find(R"("iceServers":[{"urls":["turn:r:3478?transport=udp","turns:r:5349"],"username":)"),
            std::string::npos)
      << text;
  auto nulls = wsDecode(R"({"type":"welcome","iceServers":[{"urls":["turn:r"],"username":null}]})");
  ASSERT_TRUE(nulls);
  EXPECT_EQ(*nulls.value().iceServers, (std::vector<IceServerInfo>{{{"turn:r"}, std::nullopt, std::nullopt}}));
  EXPECT_FALSE(wsDecode(R"({"type":"welcome","iceServers":null})").value().iceServers);

  const auto welcomeWith = [](const std::string& list) { return R"({"type":"welcome","iceServers":)" + list + "}"; };
  std::string many = "[";
  for (std::size_t i = 0; i <= kMaxIssuedIceServers; ++i) many += std::string(i ? "," : "") + R"({"urls":["turn:r"]})";
  std::string manyUrls = R"([{"urls":[)";
  for (std::size_t i = 0; i <= kMaxIssuedIceUrls; ++i) manyUrls += std::string(i ? "," : "") + R"("turn:r")";
  const std::string longUrl = R"([{"urls":["turn:)" + std::string(kMaxIceFieldBytes, 'r') + R"("]}])";
  const std::string longName =
      R"([{"urls":["turn:r"],"username":")" + std::string(kMaxIceFieldBytes + 1, 'u') + R"("}])";
  for (const std::string& bad :
       {std::string("{}"), std::string(R"(["turn:r"])"), std::string("[{}]"), std::string(R"([{"urls":"turn:r"}])"),
        std::string(R"([{"urls":[]}])"), std::string(R"([{"urls":[7]}])"), std::string(R"([{"urls":["https://r"]}])"),
        std::string(R"([{"urls":["turn:"]}])"), std::string(R"([{"urls":["turn:r"],"credential":1}])"),
        std::string(R"([{"urls":["turn:r"],"username":"a\nb"}])"), many + "]", manyUrls + "]}]", longUrl, longName}) {
    EXPECT_FALSE(wsDecode(welcomeWith(bad))) << bad.substr(0, 120);
  }
}

}  // namespace
}  // namespace orvane
