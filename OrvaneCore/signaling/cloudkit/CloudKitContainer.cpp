#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"

#include <cstdlib>

#include "OrvaneCore/signaling/cloudkit/PostgresCloudKitDatabase.h"

namespace orvane {

namespace {
bool set(const char* value) { return value && *value; }
}  // namespace

std::filesystem::path cloudKitDatabasePath(std::string_view container, const char* recordStore, const char* setting,
                                           const char* xdgDataHome, const char* home) {
  if (set(recordStore)) return std::filesystem::path(recordStore);
  if (set(setting)) return std::filesystem::path(setting);
  const std::string file = std::string(container) + ".sqlite";
  if (set(xdgDataHome) && std::filesystem::path(xdgDataHome).is_absolute()) {
    return std::filesystem::path(xdgDataHome) / "orvane" / file;
  }
  const std::filesystem::path base = set(home) ? std::filesystem::path(home) : std::filesystem::path(".");
  return base / ".local" / "share" / "orvane" / file;
}

std::filesystem::path cloudKitDatabasePath(std::string_view container, const std::string& setting) {
  return cloudKitDatabasePath(container, std::getenv("ORVANE_RECORD_STORE"), setting.c_str(),
                              std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

std::shared_ptr<SQLiteCloudKitDatabase> openCloudKitDatabase(const std::filesystem::path& file,
                                                             std::shared_ptr<NotificationCenter> notifications) {
  auto db = std::make_shared<SQLiteCloudKitDatabase>(file);
  if (notifications) {
    db->watchRemoteChanges([notifications = std::move(notifications)] {
      notifications->post(CloudKitSignalingService::pushNotificationName);
    });
  }
  return db;
}

std::shared_ptr<CloudKitDatabaseProtocol> openRecordStore(const std::filesystem::path& location,
                                                          std::shared_ptr<NotificationCenter> notifications) {
  if (!isPostgresRecordStore(location.native())) return openCloudKitDatabase(location, std::move(notifications));
  PostgresCloudKitDatabase::Options options;
  options.url = location.native();
  auto db = std::make_shared<PostgresCloudKitDatabase>(std::move(options));
  if (notifications) {
    db->watchRemoteChanges([notifications = std::move(notifications)] {
      notifications->post(CloudKitSignalingService::pushNotificationName);
    });
  }
  return db;
}

std::shared_ptr<CloudKitSignalingService> makeCloudKitSignaling(SignalingRole role, std::string deviceId,
                                                                std::string deviceName, Executor& executor,
                                                                CloudKitSignalingOptions options) {
  auto notifications = options.notifications ? options.notifications : std::make_shared<NotificationCenter>();
  const auto path =
      options.databasePath.value_or(cloudKitDatabasePath(CloudKitSignalingService::containerIdentifier));
  auto db = openRecordStore(path, options.push ? notifications : nullptr);
  return CloudKitSignalingService::create(std::move(db), role, role == SignalingRole::mac ? std::move(deviceId) : "",
                                          std::move(deviceName), executor, std::move(notifications),
                                          Console(options.sink ? *options.sink : systemLogSink()));
}

}  // namespace orvane
