// Server URLs from settings and command lines: what parses, what is refused, and paths appended to a base.
#include <gtest/gtest.h>

#include "OrvaneCore/signaling/Url.h"

using namespace orvane;

TEST(Url, ParsesAndRebuildsServerUrls) {
  const char* roundTrips[] = {
      "wss://signal.orvane.app",
      "ws://127.0.0.1:8080/base?x=1#frag",
      "https://[::1]:8443/v1/auth/apple",
      "http://host-name.local",
  };
  for (const char* text : roundTrips) {
    auto url = Url::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(url->toString(), text);
  }
  auto v6 = Url::parse("wss://[::1]:9/");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->hostName(), "::1");
  EXPECT_EQ(v6->effectivePort(), 9);
  EXPECT_EQ(Url::parse("WSS://h")->effectivePort(), 443);
  EXPECT_EQ(Url::parse("ws://h")->effectivePort(), 80);
}

TEST(Url, RejectsWhatIsNotAnAbsoluteHostUrl) {
  const char* bad[] = {"", "signal.orvane.app", "wss://", "wss://:80", "wss://h:99999", "wss://h:x",
                       "wss://user@h", "wss://[::1", "wss://h:", "1ws://h", "wss://bad host"};
  for (const char* text : bad) EXPECT_FALSE(Url::parse(text)) << text;
}

TEST(Url, AppendsOnePathComponentAndFormsTheRequestTarget) {
  EXPECT_EQ(Url::parse("wss://h")->appendingPath("/v1/ws").toString(), "wss://h/v1/ws");
  EXPECT_EQ(Url::parse("wss://h/")->appendingPath("/v1/ws").toString(), "wss://h/v1/ws");
  EXPECT_EQ(Url::parse("wss://h/base?q=1")->appendingPath("v1/ws").toString(), "wss://h/base/v1/ws?q=1");
  EXPECT_EQ(Url::parse("wss://h")->target(), "/");
  EXPECT_EQ(Url::parse("wss://h/v1/ws?a=b")->target(), "/v1/ws?a=b");
}
