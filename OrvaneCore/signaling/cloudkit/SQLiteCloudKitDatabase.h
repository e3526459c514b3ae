#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

namespace orvane {

// The record database in one SQLite file (WAL mode) that several processes
// of one machine use at once: each process opens its own connection, and a
// busy file is waited for. Fields keep their types (a type tag beside each
// value). Anything may have written the file, so every read is checked: a
// record with an unknown type tag, a value stored under the wrong tag, text
// that is not UTF-8 or anything over the size limits reads as a per-record
// error, never as data.
//
// Operations run synchronously on the caller's thread (a write is a short
// local transaction); the Task interface lets a slower store stand in.
// Thread-safe.
class SQLiteCloudKitDatabase final : public CloudKitDatabaseProtocol {
 public:
  // Opens the file, creating it (0600, in a 0700 directory) when missing.
  // Never throws: while the file cannot be opened, every operation fails
  // with that reason and the next one tries again.
  explicit SQLiteCloudKitDatabase(std::filesystem::path file);
  ~SQLiteCloudKitDatabase() override;
  SQLiteCloudKitDatabase(const SQLiteCloudKitDatabase&) = delete;
  SQLiteCloudKitDatabase& operator=(const SQLiteCloudKitDatabase&) = delete;

  const std::filesystem::path& path() const;

  Task<CKRecordZone> saveZone(CKRecordZone zone) override;
  Task<CKDatabaseSubscription> saveSubscription(CKDatabaseSubscription subscription) override;
  Task<CKRecord> saveRecord(CKRecord record) override;
  Task<CKRecord> upsert(CKRecord record, CKSavePolicy savePolicy) override;
  Task<CKRecord> fetchRecord(CKRecordID recordID) override;
  Task<CKRecordID> deleteRecord(CKRecordID recordID) override;
  Task<CKQueryResult> queryRecords(CKQuery query, CKRecordZoneID zoneID) override;

  // The push of this store: calls `onRemoteChange` on a background thread
  // soon after another connection (another process) commits to the file,
  // never for this connection's own writes. Replaces an earlier watch; false
  // when the file's directory cannot be watched (polling still works).
  bool watchRemoteChanges(std::function<void()> onRemoteChange);

  // True once when another connection has committed since the last call (or
  // since opening). The watch uses it to tell others' commits from our own.
  bool changedByOthers();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane
