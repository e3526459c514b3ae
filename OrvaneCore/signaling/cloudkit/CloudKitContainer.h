#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/NotificationCenter.h"
#include "OrvaneCore/signaling/SignalingMessage.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneCore/signaling/cloudkit/SQLiteCloudKitDatabase.h"

namespace orvane {

// Where a container's private database lives on this machine:
// $ORVANE_RECORD_STORE when set (so two devices can share one file, or a
// "postgresql://..." server: see openRecordStore), else `setting` (the
// "Orvane.recordStore" setting), else "<container>.sqlite" in
// $XDG_DATA_HOME/orvane/, else in ~/.local/share/orvane/. A relative
// XDG_DATA_HOME is ignored, as the base-directory rules require.
std::filesystem::path cloudKitDatabasePath(std::string_view container, const std::string& setting = "");
// The same rule on given variables (null or empty = unset).
std::filesystem::path cloudKitDatabasePath(std::string_view container, const char* recordStore, const char* setting,
                                           const char* xdgDataHome, const char* home);

// Opens the container's private database. With `notifications`, a change
// another process commits to it posts "OrvaneCKSignalingPush" there: what the
// platform's remote notification does for the app.
std::shared_ptr<SQLiteCloudKitDatabase> openCloudKitDatabase(const std::filesystem::path& file,
                                                             std::shared_ptr<NotificationCenter> notifications);

// Opens the record store at `location`: the PostgreSQL database it names when
// it is a "postgresql://" or "postgres://" URL, else the SQLite file there.
// Pushes as openCloudKitDatabase does.
std::shared_ptr<CloudKitDatabaseProtocol> openRecordStore(const std::filesystem::path& location,
                                                          std::shared_ptr<NotificationCenter> notifications);

struct CloudKitSignalingOptions {
  std::optional<std::filesystem::path> databasePath;  // default: cloudKitDatabasePath(container); or a URL
  std::shared_ptr<NotificationCenter> notifications;  // default: one of the service's own
  bool push = true;                                   // false: polling only
  LogSink* sink = nullptr;                            // default: the system sink
};

// The signalling factory's CloudKit branch: the service on the container
// "iCloud.com.kelbrin.Orvane", host identifier `deviceId` for the mac role and
// empty for the pad, machine name `deviceName`, pushes wired. Not started.
// Never fails: a store that cannot be opened fails each operation instead.
std::shared_ptr<CloudKitSignalingService> makeCloudKitSignaling(SignalingRole role, std::string deviceId,
                                                                std::string deviceName, Executor& executor,
                                                                CloudKitSignalingOptions options = {});

}  // namespace orvane
