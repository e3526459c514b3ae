#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

namespace orvane {

class BlockingExecutor;

// The record database in one SQLite file (WAL mode) that several processes
// of one machine use at once: each process opens its own connection, and a
// busy file is waited for. Fields keep their types (a type tag beside each
// value). Anything may have written the file, so every read is checked: a
// record with an unknown type tag, a value stored under the wrong tag, text
// that is not UTF-8 or anything over the size limits reads as a per-record
// error, never as data.
//
// Operations run on a thread of the store's own, one at a time in the order
// they were called, so that a file another process holds busy (waited for up
// to half a second) never stalls the caller's executor; the awaiting task
// resumes on its executor. Thread-safe.
class SQLiteCloudKitDatabase final : public CloudKitDatabaseProtocol {
 public:
  // Opens the file on the store's thread, creating it (0600, in a 0700
  // directory) when missing. Never throws: while the file cannot be opened,
  // every operation fails with that reason and the next one tries again.
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
  std::shared_ptr<Impl> impl_;  // held by operations under way too
  std::unique_ptr<BlockingExecutor> blocking_;
};

}  // namespace orvane
