// Stored signalling settings: only the exact stored values switch the backend, force the relay or move the records.
#include "OrvaneCore/signaling/AppSettings.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

class AppSettingsTest : public ::testing::Test {
 protected:
  InMemoryUserDefaults store;
  AppSettings settings{store};
};

TEST_F(AppSettingsTest, BackendIsCloudKitOnlyForTheExactRawString) {
  EXPECT_EQ(settings.signalingBackend(), SignalingBackend::webSocket);
  settings.setSignalingBackend(SignalingBackend::cloudKit);
  EXPECT_EQ(store.value("Orvane.signalingBackend"), DefaultsValue(std::string("cloudKit")));
  EXPECT_EQ(settings.signalingBackend(), SignalingBackend::cloudKit);
  for (const DefaultsValue& stored :
       {DefaultsValue(std::string("CloudKit")), DefaultsValue(std::string("cloudKit ")), DefaultsValue(true)}) {
    store.set("Orvane.signalingBackend", stored);
    EXPECT_EQ(settings.signalingBackend(), SignalingBackend::webSocket) << stored.index();
  }
}

TEST_F(AppSettingsTest, ForceRelayReadsOnlyABoolean) {
  EXPECT_FALSE(settings.forceRelayTCP());
  settings.setForceRelayTCP(true);
  EXPECT_EQ(store.value("Orvane.forceRelayTCP"), DefaultsValue(true));
  EXPECT_TRUE(settings.forceRelayTCP());
  for (const DefaultsValue& stored : {DefaultsValue(std::string("yes")), DefaultsValue(std::int64_t{1})}) {
    store.set("Orvane.forceRelayTCP", stored);
    EXPECT_FALSE(settings.forceRelayTCP()) << stored.index();
  }
}

TEST_F(AppSettingsTest, RecordStoreIsANonEmptyString) {
  EXPECT_EQ(settings.recordStore(), std::nullopt);
  for (const DefaultsValue& stored : {DefaultsValue(std::string()), DefaultsValue(true)}) {
    store.set("Orvane.recordStore", stored);
    EXPECT_EQ(settings.recordStore(), std::nullopt) << stored.index();
  }
  store.set("Orvane.recordStore", std::string("postgresql://db/orvane"));
  EXPECT_EQ(settings.recordStore(), "postgresql://db/orvane");
}

}  // namespace
}  // namespace orvane
